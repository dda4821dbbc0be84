# Shared by the pty tests: start `vrmdm pty` on a private link, stop it with
# SIGTERM and check that it ended cleanly (exit status 0: no verifier finding).
# Usage: source this file with VRMDM set to the program.

set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/vrmdm-test.XXXXXX")
link="$work/COM5"
server_pid=""

cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "---- vrmdm stderr" >&2
  cat "$work/server.err" >&2 || true
  exit 1
}

# start_server [ARGS...]: serves the port and waits for the link to appear.
start_server() {
  "$VRMDM" pty --link "$link" --verbose "$@" >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 1 600); do
    [ -L "$link" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || fail "vrmdm pty exited early"
    sleep 0.1
  done
  fail "no link after 60 s"
}

# stop_server: SIGTERM, then the exit status must be 0 and the link gone.
stop_server() {
  kill -TERM "$server_pid"
  local status=0
  wait "$server_pid" || status=$?
  server_pid=""
  [ "$status" -eq 0 ] || fail "vrmdm pty exited with $status"
  [ ! -e "$link" ] && [ ! -L "$link" ] || fail "the link outlived the server"
  grep -q '^/dev/pts/' "$work/server.out" || fail "the slave's path was not printed"
}

expect_log() {
  grep -qF -- "$1" "$work/server.err" || fail "the log lacks: $1"
}
