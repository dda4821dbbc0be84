#!/usr/bin/env bash
# differential.sh VRMDM LAB_DIR: runs each scenario of SCENARIOS below under
# the emulator (VRMDM script) and under Wine (scripts/wine-lab, lab tree in
# LAB_DIR), and compares the result lines one by one.  A line that differs
# must be listed in differences.tsv (scenario, emulator line, Wine line, as
# regular expressions, and why); any other difference fails.  Exit 77 when
# the lab reports Wine unavailable.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
vrmdm=$1
lab=$2
out=$lab/differential
mkdir -p "$out"

# The scenarios without their expect lines: those are the emulator's own
# checks and would stop a run at the first difference; here the other kernel
# is the check, on every line.
sources=("$root/examples/dialup.scen" "$root/examples/surprise-removal.scen" "$root/examples/wait-on-mask.scen"
         "$here/scenarios/port.scen")
mkdir -p "$out/scenarios"
scenarios=()
for s in "${sources[@]}"; do
  grep -vE '^[[:space:]]*expect([[:space:]]|$)' "$s" >"$out/scenarios/$(basename "$s")"
  scenarios+=("$out/scenarios/$(basename "$s")")
done

args=()
for s in "${scenarios[@]}"; do args+=(--scenario "$s"); done
# Wine's channels are kept until the comparison has passed too.  A test
# installs nothing: without Wine the lab reports skipped.
VRMDM_SKIP_SETUP=1 VRMDM_WINE_LAB_DIR=$lab bash "$root/scripts/wine-lab" --keep-log --out "$out/wine" "${args[@]}"
rc=$?
[ $rc -eq 77 ] && exit 77
if [ $rc -ne 0 ]; then
  echo "differential: the Wine lab failed (exit $rc); Wine's channels: $out/wine/wine-debug.log"
  exit 1
fi

mkdir -p "$out/emu"
failed=0
for s in "${scenarios[@]}"; do
  name=$(basename "$s" .scen)
  "$vrmdm" script "$s" >"$out/emu/$name.out" 2>"$out/emu/$name.err"
  echo "differential: $name: emulator exit $?"
done

python3 - "$here/differences.tsv" "$out" "${scenarios[@]}" <<'PY'
import re, sys, os
table, out, scenarios = sys.argv[1], sys.argv[2], sys.argv[3:]
known = []
for n, line in enumerate(open(table), 1):
    if not line.strip() or line.startswith("#"):
        continue
    fields = line.rstrip("\n").split("\t")
    if len(fields) != 5:
        sys.exit(f"{table}:{n}: want 5 tab-separated fields, got {len(fields)}")
    known.append((fields[0], re.compile(fields[1]), re.compile(fields[2]), fields[3], fields[4], n))
used = set()
compared = same = explained = unexplained = 0
for s in scenarios:
    name = os.path.basename(s)[:-len(".scen")]
    emu = open(f"{out}/emu/{name}.out").read().splitlines()
    wine = open(f"{out}/wine/{name}.out").read().splitlines()
    for i in range(max(len(emu), len(wine))):
        e = emu[i] if i < len(emu) else "(none)"
        w = wine[i] if i < len(wine) else "(none)"
        compared += 1
        rows = [k for k in known if k[0] == name and k[1].fullmatch(e) and k[2].fullmatch(w)]
        if e == w:
            same += 1
            # A row whose Wine answer varies from run to run allows the
            # emulator's own: this run it agreed, and the row still holds.
            used.update(k[5] for k in rows)
            continue
        hit = rows[0] if rows else None
        if hit:
            explained += 1
            used.add(hit[5])
            print(f"  {name}:{i + 1}: known ({hit[3]}): {hit[4]}")
        else:
            unexplained += 1
            print(f"  {name}:{i + 1}: DIFFERS\n    emulator: {e}\n    wine:     {w}")
for k in known:
    if k[5] not in used:
        print(f"  differences.tsv:{k[5]}: listed but not seen any more ({k[0]}): remove it")
        unexplained += 1
print(f"differential: {compared} result lines compared: {same} identical, {explained} known differences, "
      f"{unexplained} unexplained")
sys.exit(1 if unexplained else 0)
PY
status=$?
if [ $status -eq 0 ]; then
  rm -f "$out/wine/wine-debug.log"
else
  echo "differential: Wine's channels (+plugplay,+debugstr,+ntoskrnl): $out/wine/wine-debug.log"
fi
exit $status
