#!/usr/bin/env bash
# Scenario exit statuses: 2 for a malformed script (nothing runs), 1 for an
# expect that does not hold, and the teardown still leaves no finding.
VRMDM=$1
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(printf 'plug\nopen\nwrite "AT\\q"\n' | "$VRMDM" script - 2>&1)
[ $? -eq 2 ] || fail "malformed script: wrong exit status"
grep -q "stdin:3:" <<<"$out" || fail "the error does not name line 3: $out"
grep -q "plug ->" <<<"$out" && fail "a malformed script ran: $out"

out=$(printf 'plug\nopen\nioctl GET_BAUD_RATE\nexpect out=ffffffff\nwrite "AT\\r"\n' | "$VRMDM" script - 2>&1)
[ $? -eq 1 ] || fail "failed expect: wrong exit status: $out"
grep -q "line 4: expect" <<<"$out" || fail "the failure does not name line 4: $out"
grep -q "^write" <<<"$out" && fail "the run went on after a failed expect: $out"
grep -qi "verifier" <<<"$out" && fail "teardown after a failed expect left findings: $out"

"$VRMDM" script /nonexistent/file.scen 2>/dev/null
[ $? -eq 2 ] || fail "missing file: wrong exit status"

# A driver image that is not one is refused with its reason before anything runs.
out=$(printf 'plug\n' | "$VRMDM" script --driver "$0" - 2>&1)
[ $? -eq 2 ] || fail "bad driver image: wrong exit status: $out"
grep -q "no MZ header" <<<"$out" || fail "the reason is not given: $out"
grep -q "plug ->" <<<"$out" && fail "a script ran without its driver: $out"
out=$(printf 'AT\r' | "$VRMDM" --driver /nonexistent/vr_mdm.sys 2>&1)
[ $? -eq 1 ] || fail "missing driver image: wrong exit status: $out"
grep -q "cannot be read" <<<"$out" || fail "the reason is not given: $out"
echo PASS
