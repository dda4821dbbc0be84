#!/usr/bin/env bash
# --record: a pyserial session through the pty (speed change, AT, ATI, a
# call escaped with +++ and hung up, a purge) replays green with
# `vrmdm script`; the same recording with one expected answer changed fails
# and names that line.  A session at the terminal (piped) replays too.
VRMDM=$1
source "$(dirname "$0")/pty_common.sh"
python=/usr/bin/python3
"$python" -c 'import serial' 2>/dev/null || fail "python3-serial is not installed"

start_server --record "$work/session.scen"
"$python" "$(dirname "$0")/pyserial_client.py" "$link" record || fail "the pyserial client failed"
stop_server
recording="$work/session.scen"
for want in 'ioctl SET_BAUD_RATE in=00e10000' 'write "ATI\r"' 'write "+++"' 'write "ATH\r"' \
  'ioctl PURGE in=0a000000' 'close'; do
  grep -qxF -- "$want" "$recording" || fail "the recording lacks $want: $(cat "$recording")"
done
grep -qF "# modem: serial state 0x0003: DCD on" "$recording" || fail "the carrier's rise is not noted"

"$VRMDM" script "$recording" >"$work/replay.out" 2>&1 || fail "the replay failed: $(cat "$work/replay.out")"
grep -q 'Manufacturer: Velmar' "$work/replay.out" || fail "the replay did not run ATI: $(cat "$work/replay.out")"

# One expected answer changed: the run fails at that line, and says so.
line=$(grep -n '^expect .*Manufacturer: Velmar' "$recording" | cut -d: -f1)
[ -n "$line" ] || fail "no expect line for the ATI answer"
sed "${line}s/Velmar/Velmor/" "$recording" >"$work/changed.scen"
status=0
"$VRMDM" script "$work/changed.scen" >"$work/changed.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "the changed recording ended with $status: $(cat "$work/changed.out")"
grep -q "^line $line: expect " "$work/changed.out" || fail "the failure does not name line $line: $(cat "$work/changed.out")"

# The terminal front end, fed by a pipe.
printf 'AT\rATI\r' | "$VRMDM" --record "$work/terminal.scen" >"$work/terminal.out" 2>&1 ||
  fail "the terminal session failed: $(cat "$work/terminal.out")"
grep -q '^write "AT' "$work/terminal.scen" || fail "the terminal recording lacks the write: $(cat "$work/terminal.scen")"
"$VRMDM" script "$work/terminal.scen" >"$work/terminal-replay.out" 2>&1 ||
  fail "the terminal recording does not replay: $(cat "$work/terminal-replay.out")"
echo PASS
