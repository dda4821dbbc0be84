#!/usr/bin/env bash
# picocom through `vrmdm pty`, driven without a terminal: an init string,
# then exit after a quiet spell.
VRMDM=$1
source "$(dirname "$0")/pty_common.sh"
command -v picocom >/dev/null || { echo "picocom is not installed" >&2; exit 1; }

start_server
timeout 60 picocom --quiet --baud 38400 --databits 8 --parity n --stopbits 1 --noreset \
  --initstring $'ATI\r' --exit-after 2000 "$link" </dev/null >"$work/picocom.out" 2>&1 ||
  fail "picocom failed: $(cat "$work/picocom.out")"
stop_server

grep -q "Manufacturer: Velmar" "$work/picocom.out" || fail "no ATI answer: $(cat -A "$work/picocom.out")"
grep -q "^OK" "$work/picocom.out" || fail "no OK: $(cat -A "$work/picocom.out")"
expect_log "ioctl SET_BAUD_RATE in=00960000 -> STATUS_SUCCESS"
expect_log "modem line coding 38400,0,0,8"
echo PASS
