#!/usr/bin/env python3
"""Compares the driver-kernel records and constants of the two homes.

tests/windows/layout_probe.list names every size, offset, bit and value;
this script writes it out as one probe a line, and
tests/windows/layout_probe.cpp is compiled (not run) by the host compiler
against the emulator's headers and by the mingw-w64 cross compiler against
its DDK headers, each through driver/platform/platform.h as the driver sees
them.  Every probe is a constant 128-byte record (name, value) in the
object's .probe section; objcopy extracts the section and this script lists
and compares the two.  With the i686 cross compiler present the x86 DDK is
probed too: its constants must equal the x64 ones, and its URBs have the
sizes the 32-bit bus driver expects.

Writes layout.<home>.txt ("name value" lines) into --out; prints every
difference; exits 1 on any.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROBE = os.path.join(ROOT, "tests", "windows", "layout_probe.cpp")
TABLE = os.path.join(ROOT, "tests", "windows", "layout_probe.list")
MACROS = {"size": "SIZE", "offset": "OFF", "bit": "BIT", "value": "VAL"}
RECORD = 128
DDK = "/usr/share/mingw-w64/include/ddk"
CROSS_FLAGS = ["-std=c++17", "-fno-exceptions", "-fno-rtti", "-Wall", "-Wextra", "-Werror",
               "-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet",
               "-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset"]

# What 32-bit Windows expects: the bus driver's URB sizes (USBD checks
# UrbHeader.Length against them) and the one constant that differs by design.
X86_EXPECTED = {
    "size struct _URB_BULK_OR_INTERRUPT_TRANSFER": 72,
    "size struct _URB_CONTROL_DESCRIPTOR_REQUEST": 80,
    "size struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST": 80,
    "size struct _URB_PIPE_REQUEST": 24,
    "value HIGH_LEVEL": 31,
}


def write_entries(table, out):
    """Turns the table's lines ("offset T: a, b", "value A, B") into probe macros."""
    lines = []
    with open(table) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            kind, _, rest = line.partition(" ")
            if kind not in MACROS:
                raise SystemExit(f"layout_probe: {table}:{number}: unknown kind '{kind}'")
            record = None
            if kind in ("offset", "bit"):
                record, sep, rest = rest.partition(":")
                if not sep or not record.strip():
                    raise SystemExit(f"layout_probe: {table}:{number}: '{kind} TYPE: members' expected")
            for item in (i.strip() for i in rest.split(",")):
                if not item:
                    raise SystemExit(f"layout_probe: {table}:{number}: empty entry")
                args = f"{record.strip()}, {item}" if record else item
                lines.append(f"{MACROS[kind]}({args});\n")
    with open(out, "w") as f:
        f.writelines(lines)


def probe(cxx, objcopy, flags, obj):
    if subprocess.run([cxx, *flags, "-I", os.path.join(ROOT, "driver"), "-I", os.path.dirname(obj),
                       "-c", PROBE, "-o", obj]).returncode:
        raise SystemExit(f"layout_probe: FAILED: {cxx} cannot compile the probe")
    raw = obj + ".probe"
    subprocess.run([objcopy, "-O", "binary", "--only-section=.probe", obj, raw], check=True)
    with open(raw, "rb") as f:
        data = f.read()
    entries = {}
    for pos in range(0, len(data) - RECORD + 1, RECORD):
        name = data[pos:pos + 120].split(b"\0", 1)[0].decode("ascii")
        if not name:
            continue  # section padding
        value, = struct.unpack_from("<Q", data, pos + 120)
        if name in entries:
            raise SystemExit(f"layout_probe: {name} probed twice")
        entries[name] = value
    if not entries:
        raise SystemExit(f"layout_probe: no probes found in {obj}")
    return entries


def show(name, value):
    return f"{value:#x}" if name.startswith("value ") else str(value)


def write_list(path, entries):
    with open(path, "w") as f:
        for name in sorted(entries):
            f.write(f"{name} {show(name, entries[name])}\n")


def compare(left_name, left, right_name, right, keys=None):
    diffs = []
    names = sorted(set(left) | set(right)) if keys is None else keys
    for n in names:
        a, b = left.get(n), right.get(n)
        if a != b:
            sa = "missing" if a is None else show(n, a)
            sb = "missing" if b is None else show(n, b)
            diffs.append(f"DIFF {n}: {left_name} {sa}, {right_name} {sb}")
    return diffs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True, help="directory for objects and lists")
    ap.add_argument("--host-cxx", default="g++")
    ap.add_argument("--host-objcopy", default="objcopy")
    ap.add_argument("--ddk", default=DDK)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    write_entries(TABLE, os.path.join(args.out, "layout_probe_entries.inc"))

    host = probe(args.host_cxx, args.host_objcopy,
                 ["-std=c++20", "-fshort-wchar", "-Wall", "-Wextra", "-Werror",
                  "-I", os.path.join(ROOT, "emu", "include")],
                 os.path.join(args.out, "probe.host.o"))
    x64 = probe("x86_64-w64-mingw32-g++", "x86_64-w64-mingw32-objcopy", [*CROSS_FLAGS, "-I", args.ddk],
                os.path.join(args.out, "probe.x64.o"))
    write_list(os.path.join(args.out, "layout.host.txt"), host)
    write_list(os.path.join(args.out, "layout.x64.txt"), x64)
    diffs = compare("emulator", host, "x64 DDK", x64)
    print(f"layout_probe: {len(x64)} sizes, offsets, bits and values compared, emulator against the x64 DDK")

    if shutil.which("i686-w64-mingw32-g++"):
        x86 = probe("i686-w64-mingw32-g++", "i686-w64-mingw32-objcopy", [*CROSS_FLAGS, "-I", args.ddk],
                    os.path.join(args.out, "probe.x86.o"))
        write_list(os.path.join(args.out, "layout.x86.txt"), x86)
        values = sorted(n for n in set(x64) | set(x86)
                        if n.startswith(("value ", "bit ")) and n not in X86_EXPECTED)
        diffs += compare("x64 DDK", x64, "x86 DDK", x86, values)
        diffs += compare("x86 DDK", x86, "32-bit bus driver", X86_EXPECTED, sorted(X86_EXPECTED))
        print(f"layout_probe: {len(values)} values and bits compared between the x64 and x86 DDK; "
              f"{len(X86_EXPECTED)} x86 sizes and values checked")
    else:
        print("layout_probe: i686-w64-mingw32-g++ missing: the x86 layout was not probed")

    for d in diffs:
        print(d)
    if diffs:
        print(f"layout_probe: {len(diffs)} difference(s); lists in {args.out}")
        return 1
    print("layout_probe: no difference")
    return 0


if __name__ == "__main__":
    sys.exit(main())
