# Our driver (linked, or the image in VRMDM_DRIVER) streaming through the
# gadget's ACM function in the VM: `vrmdm pty` on the import, the lab's judge
# on the pseudo-terminal: AT, ATD*99#, 256 KiB echoed with every byte
# checked, +++ back to commands, AT round trips; then SIGTERM ends it cleanly.
source "$(dirname "$0")/common.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/vrmdm-peer.XXXXXX")
shown=("$work/out" "$work/err")
vm 'detach_all; gadget_up && responder_up && gadget_export'
"$VRMDM" pty --link "$work/COM5" --modem "usbip:127.0.0.1:$PORT" "${driver_args[@]}" >"$work/out" 2>"$work/err" &
watched=$!
background+=("$watched")
for _ in $(seq 1 300); do
  [ -L "$work/COM5" ] && break
  kill -0 "$watched" 2>/dev/null || break
  sleep 0.1
done
[ -L "$work/COM5" ] || { cat "$work/err" >&2; echo "FAIL: no port" >&2; exit 1; }
# The import resets the gadget, which hangs up the responder's tty; give the
# VM the time to open it again before the first command.
"$DIR/image/peer-agent" chat "$work/COM5" sleep:3000 'send:AT\r' expect:OK 'send:ATD*99#\r' expect:CONNECT \
  timeout:30000 echo:262144 sleep:1100 send:+++ expect:OK rtt:100
kill -TERM "$watched"
status=0
wait "$watched" || status=$?
[ "$status" -eq 0 ] || { cat "$work/err" >&2; echo "FAIL: vrmdm pty exited with $status" >&2; exit 1; }
rm -rf "$work"
