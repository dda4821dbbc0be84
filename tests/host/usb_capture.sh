#!/usr/bin/env bash
# --pcap: tshark decodes the capture of a short session (the CDC requests,
# the data both ways, the serial state); a capture cut short by SIGINT, in
# pty and script mode, still reads.  While a port is open the emulator's,
# the driver's and the bridge's threads show their names.
VRMDM=$1
source "$(dirname "$0")/pty_common.sh"
command -v tshark >/dev/null || fail "tshark is not installed (scripts/setup installs it)"

# tshark -n -r FILE [ARGS...]; its warning about running as root is dropped.
decode() {
  local file=$1
  shift
  tshark -n -r "$file" "$@" 2>"$work/tshark.err" || fail "tshark cannot read $file: $(cat "$work/tshark.err")"
  if grep -qi "cut short\|appears to be damaged\|corrupt" "$work/tshark.err"; then
    fail "tshark: $(cat "$work/tshark.err")"
  fi
}

# ---- A short session: open, line coding, DTR, AT, OK, a serial-state change, close.
cat >"$work/session.scen" <<'SCEN'
plug
open
ioctl SET_BAUD_RATE in=00c20100
ioctl SET_LINE_CONTROL in=000008
ioctl SET_DTR
ioctl SET_TIMEOUTS in=0000000000000000e803000000000000e8030000
write "AT\r"
expect info=3
read 9
expect data="AT\\r\\r\\nOK\\r\\n"
ioctl SET_WAIT_MASK in=20000000
ioctl WAIT_ON_MASK &CARRIER
modem lines dcd=1 dsr=1
wait &CARRIER
expect out=20000000$
close
SCEN
"$VRMDM" script "$work/session.scen" --pcap "$work/session.pcap" >"$work/script.out" 2>&1 ||
  fail "the session failed: $(cat "$work/script.out")"

decode "$work/session.pcap" >"$work/summary"
grep -q "GET DESCRIPTOR Request DEVICE" "$work/summary" || fail "no descriptor read: $(head "$work/summary")"
# SET_LINE_CODING: 115200 bit/s (00c20100), 1 stop bit, no parity, 8 data bits.
decode "$work/session.pcap" -Y 'usbcom.control.request_code == 0x20' -T fields -e usbcom.control.payload >"$work/coding"
grep -qx "00c20100000008" "$work/coding" || fail "no SET_LINE_CODING at 115200 8N1: $(cat "$work/coding")"
decode "$work/session.pcap" -Y 'usbcom.control.request_code == 0x22' -T fields -e usbcom.control.value >"$work/lines"
# SET_CONTROL_LINE_STATE with DTR (bit 0) on.
awk '($1 + 0) % 2 == 1 { on = 1 } END { exit !on }' "$work/lines" ||
  fail "no SET_CONTROL_LINE_STATE with DTR: $(cat "$work/lines")"
# The data both ways (the AT dissector left aside to see the bytes).
decode "$work/session.pcap" --disable-protocol at -Y 'usb.transfer_type == 3 && usb.capdata' \
  -T fields -e usb.urb_type -e usb.endpoint_address -e usb.capdata >"$work/data"
grep -q "'S'.0x02.41540d$" "$work/data" || fail "no bulk OUT frame holding AT\\r: $(cat "$work/data")"
grep -q "'C'.0x82.*4f4b0d0a" "$work/data" || fail "no bulk IN frame holding OK: $(cat "$work/data")"
# SERIAL_STATE on the interrupt pipe; its bitmap last: DCD and DSR (0x0003).
decode "$work/session.pcap" -Y 'usbcom.interrupt.notification_code == 0x20' \
  -T fields -e usb.endpoint_address -e usbcom.interrupt.payload >"$work/state"
grep -q "^0x81.*0300$" "$work/state" || fail "no serial state with DCD and DSR: $(cat "$work/state")"

# ---- A scenario killed by SIGINT in the middle: every record written is whole.
printf 'plug\nopen\nwrite "AT\\r"\nsleep 60000\n' >"$work/long.scen"
# (A background job starts with SIGINT ignored; the program keeps the default.)
env --default-signal=INT "$VRMDM" script "$work/long.scen" --pcap "$work/long.pcap" >"$work/long.out" 2>&1 &
script_pid=$!
# The write's line comes once it completed, and so after its URB's records.
for _ in $(seq 1 600); do
  grep -q '^write' "$work/long.out" && break
  sleep 0.1
done
grep -q '^write "AT\\r" -> STATUS_SUCCESS' "$work/long.out" || fail "the write did not complete: $(cat "$work/long.out")"
kill -INT "$script_pid"
wait "$script_pid" && fail "the scenario was not interrupted"
decode "$work/long.pcap" --disable-protocol at -T fields -e usb.capdata >"$work/long.data"
grep -q "^41540d$" "$work/long.data" || fail "the cut capture lacks the AT write"

# ---- vrmdm pty: thread names while the port is open, then SIGINT.
start_server --pcap "$work/pty.pcap"
# The bridge starts its reader (and the first time-out its clock) just
# after the link appears: wait for them.
for _ in $(seq 1 300); do
  names=$(cat /proc/"$server_pid"/task/*/comm | tr '\n' ' ')
  missing=""
  for want in emu-usb-bus emu-clock pReadFunction pWriteFunction vrmdm-reader; do
    grep -qw -- "$want" <<<"$names" || missing+="$want "
  done
  [ -z "$missing" ] && break
  sleep 0.1
done
[ -z "$missing" ] || fail "no thread named $missing: $names"
exec 3<>"$link"
printf 'AT\r' >&3
for _ in $(seq 1 100); do
  decode "$work/pty.pcap" --disable-protocol at -T fields -e usb.capdata | grep -q "4f4b0d0a" && break
  sleep 0.1
done
exec 3>&-
kill -INT "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 0 ] || fail "vrmdm pty ended with $status after SIGINT"
decode "$work/pty.pcap" --disable-protocol at -T fields -e usb.capdata >"$work/pty.data"
grep -q "^41540d$" "$work/pty.data" || fail "the pty capture lacks the AT write"
echo PASS
