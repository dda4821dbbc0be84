# Shared by the peer cases: bash CASE PEER_LAB LAB_DIR VRMDM.  A lab that
# could not start makes every case exit 77 (skipped) with its reason.
set -euo pipefail
LAB=$1
DIR=$2
VRMDM=$3
"$LAB" --dir "$DIR" info >/dev/null || exit $?
PORT=$("$LAB" --dir "$DIR" info | sed -n 's/^hostfwd_port=//p')

background=()
peer_cleanup() {
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
