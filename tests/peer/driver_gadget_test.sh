# Our driver (linked, or the image in VRMDM_DRIVER) against the gadget's ACM
# function in the VM through USB/IP: line settings, AT, wait-on-mask on the
# serial state f_acm sends, data both ways, the gadget leaving under waiting
# requests and a new import after it (driver_gadget.scen.in).
source "$(dirname "$0")/common.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/vrmdm-peer.XXXXXX")
shown=("$work/out" "$work/err")
vm 'detach_all; gadget_up && responder_up && gadget_export'

# Four blocks of every byte value in different orders, each echoed back.
data=$(python3 - <<'PY'
def esc(bs):
    out = ""
    for b in bs:
        c = {13: "\\r", 10: "\\n", 92: "\\\\", 34: '\\"'}.get(b)
        out += c if c else chr(b) if 0x20 <= b < 0x7F else "\\x%02x" % b
    return out
def rx(s):
    return "".join("\\" + c if c in "\\^$.|?*+()[]{}" else c for c in s)
for k in (1, 7, 101, 255):
    block = bytes((i * k + k) % 256 for i in range(256))
    print('write "%s"' % esc(block))
    print("read 256")
    print('expect data="%s"$' % rx(esc(block)))
PY
)
python3 -c 'import sys; sys.stdout.write(open(sys.argv[1]).read().replace("@PORT@", sys.argv[2]).replace("@DATA@", sys.argv[3]))' \
  "$(dirname "$0")/driver_gadget.scen.in" "$PORT" "$data" >"$work/run.scen"

"$VRMDM" script "$work/run.scen" "${driver_args[@]}" >"$work/out" 2>"$work/err" &
watched=$!
background+=("$watched")
await_line "$work/out" 1 '^ioctl GET_WAIT_MASK'
vm 'responder_down'
await_line "$work/out" 2 '^ioctl GET_WAIT_MASK'
vm 'responder_up'
await_line "$work/out" 3 '^ioctl GET_WAIT_MASK'
vm 'gadget_down'
await_line "$work/out" 1 '^read 64 &DATA'
vm 'gadget_up && responder_up && gadget_export'
status=0
for _ in $(seq 1 1200); do
  kill -0 "$watched" 2>/dev/null || break
  sleep 0.1
done
wait "$watched" || status=$?
cat "$work/out"
[ "$status" -eq 0 ] || { echo "FAIL: vrmdm script exited with $status" >&2; cat "$work/err" >&2; exit 1; }
rm -rf "$work"
