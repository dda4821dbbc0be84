# Shared by the peer cases: bash CASE PEER_LAB LAB_DIR VRMDM.  A lab that
# could not start makes every case exit 77 (skipped) with its reason.
set -euo pipefail
LAB=$1
DIR=$2
VRMDM=$3
"$LAB" --dir "$DIR" info >/dev/null || exit $?
PORT=$("$LAB" --dir "$DIR" info | sed -n 's/^hostfwd_port=//p')

background=()
shown=()  # files a failed case prints
peer_cleanup() {
  local status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    for f in "${shown[@]}"; do
      echo "---- $f" >&2
      cat "$f" >&2 || true
    done
  fi
  for pid in "${background[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap peer_cleanup EXIT

# vm COMMAND [SECONDS]: runs COMMAND in the VM, echoing it and its output.
vm() {
  echo "vm# $1"
  "$LAB" --dir "$DIR" sh --timeout "${2:-60}" "$1"
}

# bridge TARGET: carries the VM's USB/IP imports to TARGET until the case ends.
bridge() {
  "$LAB" --dir "$DIR" bridge "$1" --seconds 200 &
  background+=($!)
}

# The driver image when the case runs it (VRMDM_DRIVER), else the linked driver.
driver_args=()
[ -n "${VRMDM_DRIVER:-}" ] && driver_args=(--driver "$VRMDM_DRIVER")

# await_line FILE COUNT REGEX: waits until FILE has COUNT lines matching
# REGEX; fails after 60 s or when process $watched (if set) has ended.
watched=""
await_line() {
  for _ in $(seq 1 600); do
    [ "$(grep -cE "$3" "$1" 2>/dev/null || true)" -ge "$2" ] && return 0
    if [ -n "$watched" ] && ! kill -0 "$watched" 2>/dev/null; then
      echo "FAIL: the program ended before line $2 matching '$3'" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "FAIL: no line $2 matching '$3' in 60 s" >&2
  return 1
}
