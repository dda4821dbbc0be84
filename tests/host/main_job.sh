#!/usr/bin/env bash
# The main job, as a user runs it: piped input, and a real terminal.
VRMDM=$1
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/vrmdm-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Piped: stdin until its end, the answers, a clean exit.
printf 'AT\r' | timeout 60 "$VRMDM" >"$work/out" 2>"$work/err" || fail "exit status $? ($(cat "$work/err"))"
[ "$(cat "$work/out")" = $'AT\r\r\nOK\r' ] || fail "unexpected answer: $(cat -A "$work/out")"

printf 'ATE0\rATI\r' | timeout 60 "$VRMDM" --port COM7 --modem acm-datafirst >"$work/out" 2>"$work/err" ||
  fail "exit status $? ($(cat "$work/err"))"
grep -q "Model: VR-MDM 3G" "$work/out" || fail "no ATI answer: $(cat -A "$work/out")"
grep -q "ATI" "$work/out" && fail "echo still on after ATE0: $(cat -A "$work/out")"

# The driver's trace goes to stderr, never into the data.
printf 'AT\r' | timeout 60 "$VRMDM" --trace --modem acm-nointr >"$work/out" 2>"$work/err" || fail "--trace run failed"
grep -q "OK" "$work/out" || fail "no OK with --trace"
grep -q "DbgPrint" "$work/out" && fail "trace in the data"

# A terminal: raw mode (CR goes out as CR), Ctrl-] ends the session.
if command -v script >/dev/null; then
  mkfifo "$work/keys"
  timeout 120 script -qfec "$VRMDM" /dev/null <"$work/keys" >"$work/tty" 2>&1 &
  session=$!
  exec 3>"$work/keys"
  wait_for() {
    for _ in $(seq 1 600); do
      grep -q -- "$1" "$work/tty" && return 0
      sleep 0.1
    done
    fail "no '$1' on the terminal: $(cat -A "$work/tty")"
  }
  wait_for "Ctrl-] quits"
  printf 'AT\r' >&3
  wait_for "OK"
  printf '\035' >&3
  status=0
  wait "$session" || status=$?
  exec 3>&-
  [ "$status" -eq 0 ] || fail "terminal session ended with $status: $(cat -A "$work/tty")"
  grep -q "closing COM5" "$work/tty" || fail "Ctrl-] did not end the session: $(cat -A "$work/tty")"
fi

# Bad arguments: exit status 2 and the usage.
if "$VRMDM" --modem pots >/dev/null 2>"$work/err"; then fail "bad --modem accepted"; fi
grep -q usage "$work/err" || fail "no usage on a bad argument"
echo PASS
