#!/usr/bin/env bash
# ppp's chat dials through `vrmdm pty` as pppd would have it do.
VRMDM=$1
source "$(dirname "$0")/pty_common.sh"
chat=$(command -v chat || echo /usr/sbin/chat)
[ -x "$chat" ] || { echo "chat (ppp) is not installed" >&2; exit 1; }

start_server
# chat talks on its standard input and output: both the port.
# A command the modem refuses makes chat abort (exit status 4) on ERROR.
status=0
"$chat" -t 20 ABORT ERROR '' 'AT+NOSUCH' 'OK' <"$link" >"$link" 2>/dev/null || status=$?
[ "$status" -eq 4 ] || fail "chat on a refused command: exit status $status, not 4"
# The dial itself.
"$chat" -t 20 -s -v ABORT ERROR ABORT 'NO CARRIER' '' 'ATZ' 'OK' 'AT+CGDCONT=1,"IP","internet"' 'OK' \
  'ATD*99#' 'CONNECT' <"$link" >"$link" 2>"$work/chat.err" || fail "chat failed: $(cat "$work/chat.err")"
grep -q "CONNECT" "$work/chat.err" || fail "chat saw no CONNECT: $(cat "$work/chat.err")"
stop_server
echo PASS
