# A real host driver against our modem model: `vrmdm export` serves the
# simulated modem, the VM imports it through its virtio-serial port with
# `usbip attach`, cdc_acm binds, and /dev/ttyACM0 must behave as a modem:
# AT, ATD*99#, data echoed (every byte checked), DTR dropped hangs up and the
# carrier goes, a second open and a detach leave the export serving.
source "$(dirname "$0")/common.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/vrmdm-peer.XXXXXX")
shown=("$work/out" "$work/err")
xport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$VRMDM" export --listen "127.0.0.1:$xport" >"$work/out" 2>"$work/err" &
watched=$!
background+=("$watched")
await_line "$work/err" 1 '^vrmdm: exporting'
vm 'detach_all; gadget_unexport; gadget_down'
bridge "127.0.0.1:$xport"
vm 'attach 1-1 && wait_for 100 acm_tty 1234 && acm_tty 1234'
vm "peer-agent chat \$(acm_tty 1234) 'send:AT\\r' expect:OK 'send:ATI\\r' expect:Manufacturer expect:OK \
'send:ATD*99#\\r' expect:CONNECT carrier:1 echo:65536 dtr:0 'expect:NO CARRIER' carrier:0"
# cdc_acm raises DTR again at the next open: the modem answers as before.
vm "peer-agent chat \$(acm_tty 1234) 'send:AT\\r' expect:OK rtt:50"
vm 'detach_all && wait_for 100 no_import'
kill -INT "$watched"
status=0
wait "$watched" || status=$?
cat "$work/err"
[ "$status" -eq 0 ] || { echo "FAIL: vrmdm export exited with $status" >&2; exit 1; }
grep -q 'stopped after [1-9]' "$work/err" || { echo "FAIL: the export served no import" >&2; exit 1; }
rm -rf "$work"
