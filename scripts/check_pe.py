#!/usr/bin/env python3
"""Checks a cross-built x64 or x86 kernel driver image.

The PE headers and the import list come from the mingw binutils
(objdump -p); the exports of the allowed modules from their import libraries
(nm); the entry symbol's address from the linker map; the version resource is
parsed from the image itself.  Prints one line per finding; exits 1 on any.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

# Import library of each module a driver may import from (key: lower-case DLL name).
ALLOWED_MODULES = {
    "ntoskrnl.exe": "libntoskrnl.a",
    "hal.dll": "libhal.a",
    "usbd.sys": "libusbd.a",
    "wmilib.sys": "libwmilib.a",
}
# Per target: objdump's format, the optional header magic, the tools' prefix,
# the entry symbol as the linker map names it (the x86 map drops the C
# underscore of _DriverEntry@8).
ARCHES = {
    "x64": {"format": "pei-x86-64", "magic": 0x20B, "prefix": "x86_64-w64-mingw32", "entry": "DriverEntry",
            "what": "PE32+ x64"},
    "x86": {"format": "pei-i386", "magic": 0x10B, "prefix": "i686-w64-mingw32", "entry": "DriverEntry@8",
            "what": "PE32 x86"},
}
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_DRV = 3


class Findings:
    def __init__(self):
        self.errors = []

    def fail(self, msg):
        self.errors.append(msg)
        print(f"FAIL {msg}")

    def ok(self, msg):
        print(f"ok   {msg}")

    def check(self, cond, msg, detail=""):
        if cond:
            self.ok(msg)
        else:
            self.fail(f"{msg}{': ' + detail if detail else ''}")
        return cond


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


# ---------------------------------------------------------------- objdump -p

def parse_objdump(text):
    info = {"format": None, "fields": {}, "imports": {}}
    m = re.search(r"file format (\S+)", text)
    if m:
        info["format"] = m.group(1)
    for line in text.splitlines():
        m = re.match(r"^(Magic|AddressOfEntryPoint|ImageBase|Subsystem|Characteristics|DllCharacteristics|"
                     r"CheckSum)\s+([0-9a-fA-Fx]+)", line)
        if m and m.group(1) not in info["fields"]:
            info["fields"][m.group(1)] = int(m.group(2), 16)
    # Import tables: "DLL Name: X" followed by "vma: Hint/Ord Member-Name" rows.
    current = None
    in_imports = False
    for line in text.splitlines():
        if line.startswith("The Import Tables"):
            in_imports = True
            continue
        if in_imports and re.match(r"^(The|There is) ", line) and not line.startswith("The Import Tables"):
            in_imports = False
            current = None
        if not in_imports:
            continue
        m = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if m:
            current = m.group(1)
            info["imports"].setdefault(current, [])
            continue
        if current is None or "Hint/Ord" in line:
            continue
        m = re.match(r"^\s*[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)
        if m:
            info["imports"][current].append(m.group(2))
            continue
        m = re.match(r"^\s*[0-9a-fA-F]+\s+<?[Oo]rdinal\b.*$|^\s*[0-9a-fA-F]+\s+(\d+)\s*$", line)
        if m:
            info["imports"][current].append("#ordinal:" + line.strip())
    return info


def undecorate(symbol):
    """An x86 import library's symbol without the C prefix (_ for __cdecl and
    __stdcall, @ for __fastcall) and the @bytes suffix: the name most x86
    modules export.  Some (USBD.SYS) export the decorated name itself."""
    if symbol[:1] in ("_", "@"):
        symbol = symbol[1:]
    return re.sub(r"@\d+$", "", symbol)


def library_exports(nm, lib, decorated):
    names = set()
    for line in run([nm, lib]).splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "I" and parts[2].startswith("__imp_"):
            name = parts[2][len("__imp_"):]
        elif len(parts) >= 3 and parts[1] == "T":
            name = parts[2]
        else:
            continue
        names.add(name)
        if decorated:
            names.add(undecorate(name))
    return names


def map_symbol(map_path, symbol):
    pat = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(symbol) + r"\s*$")
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = pat.match(line)
            if m:
                return int(m.group(1), 16)
    return None


# ---------------------------------------------------------------- version resource

class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        nsect, = struct.unpack_from("<H", data, pe + 6)
        opt_size, = struct.unpack_from("<H", data, pe + 20)
        opt = pe + 24
        magic, = struct.unpack_from("<H", data, opt)
        dd = opt + (112 if magic == 0x20B else 96)
        self.dirs = [struct.unpack_from("<II", data, dd + 8 * i) for i in range(16)]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsect):
            name = data[sec + 40 * i: sec + 40 * i + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, rsize, roff = struct.unpack_from("<IIII", data, sec + 40 * i + 8)
            self.sections.append((name, va, max(vsize, rsize), roff, rsize))

    def off(self, rva):
        for _, va, size, roff, rsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rsize:
                    raise ValueError(f"rva 0x{rva:x} lies in uninitialised data")
                return roff + rva - va
        raise ValueError(f"rva 0x{rva:x} outside every section")

    def resource(self, type_id):
        rva, size = self.dirs[2]
        if not rva or not size:
            return None
        base = self.off(rva)

        def entries(dir_off):
            named, ids = struct.unpack_from("<HH", self.data, dir_off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, dir_off + 16 + 8 * i)
                yield name, target

        for name, target in entries(base):
            if name & 0x80000000 or name != type_id:
                continue
            node = target
            # Descend name and language levels, taking the first entry of each.
            while node & 0x80000000:
                node = next(entries(base + (node & 0x7FFFFFFF)))[1]
            data_rva, data_size = struct.unpack_from("<II", self.data, base + node)
            start = self.off(data_rva)
            return self.data[start:start + data_size]
        return None


def parse_version_block(buf, pos):
    """Returns (key, value, children, end) of the VS_VERSIONINFO-style block at pos."""
    length, value_len, vtype = struct.unpack_from("<HHH", buf, pos)
    end = pos + length
    p = pos + 6
    key_end = p
    while buf[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = buf[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    if vtype == 1:  # text: value_len counts WCHARs including the terminator
        raw = buf[p:p + 2 * value_len]
        value = raw.decode("utf-16-le").split("\0", 1)[0]
        p += 2 * value_len
    else:
        value = buf[p:p + value_len]
        p += value_len
    p = (p + 3) & ~3
    children = []
    while p < end:
        child = parse_version_block(buf, p)
        children.append(child)
        p = (child[3] + 3) & ~3
    return key, value, children, end


def version_info(image):
    raw = image.resource(RT_VERSION)
    if raw is None:
        return None
    key, fixed, children, _ = parse_version_block(raw, 0)
    if key != "VS_VERSION_INFO" or len(fixed) < 52:
        raise ValueError(f"malformed version resource (key {key!r})")
    sig, _, fms, fls, pms, pls, _, _, _, ftype, fsub = struct.unpack_from("<11I", fixed, 0)
    if sig != VS_FIXEDFILEINFO_SIGNATURE:
        raise ValueError("VS_FIXEDFILEINFO signature missing")
    ver = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    strings = {}
    for ckey, _, tables, _ in children:
        if ckey == "StringFileInfo":
            for _, _, entries, _ in tables:
                for skey, sval, _, _ in entries:
                    strings[skey] = sval
    return {"file": ver(fms, fls), "product": ver(pms, pls), "type": ftype, "subtype": fsub,
            "strings": strings}


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("image")
    ap.add_argument("--map", required=True, help="linker map of the image")
    ap.add_argument("--arch", choices=sorted(ARCHES), default="x64")
    ap.add_argument("--entry", help="entry symbol (default: the target's DriverEntry)")
    ap.add_argument("--objdump")
    ap.add_argument("--nm")
    ap.add_argument("--libdir")
    ap.add_argument("--file-version", required=True)
    ap.add_argument("--product-version", required=True)
    ap.add_argument("--original-filename", required=True)
    ap.add_argument("--description-contains", required=True)
    args = ap.parse_args()
    arch = ARCHES[args.arch]
    args.entry = args.entry or arch["entry"]
    args.objdump = args.objdump or arch["prefix"] + "-objdump"
    args.nm = args.nm or arch["prefix"] + "-nm"
    args.libdir = args.libdir or f"/usr/{arch['prefix']}/lib"

    f = Findings()
    dump = run([args.objdump, "-p", args.image])
    info = parse_objdump(dump)
    fields = info["fields"]

    f.check(info["format"] == arch["format"], f"{arch['what']} image", f"file format {info['format']}")
    f.check(fields.get("Magic") == arch["magic"], f"optional header magic {arch['magic']:04x}",
            f"{fields.get('Magic')}")
    f.check(fields.get("Subsystem") == 1, "subsystem native (1)", f"{fields.get('Subsystem')}")
    chars = fields.get("Characteristics", IMAGE_FILE_RELOCS_STRIPPED)
    f.check(not chars & IMAGE_FILE_RELOCS_STRIPPED, "image is relocatable (relocations not stripped)")

    entry_va = map_symbol(args.map, args.entry)
    if entry_va is None:
        f.fail(f"{args.entry} not found in the linker map {args.map}")
    else:
        actual = fields.get("ImageBase", 0) + fields.get("AddressOfEntryPoint", 0)
        f.check(actual == entry_va, f"entry point is {args.entry} (0x{entry_va:x})", f"entry is 0x{actual:x}")

    imports = info["imports"]
    f.check(bool(imports), "image has an import table")
    export_cache = {}
    for dll, names in sorted(imports.items()):
        lib = ALLOWED_MODULES.get(dll.lower())
        if lib is None:
            f.fail(f"imports from {dll} ({', '.join(names)}): only "
                   f"{', '.join(sorted(ALLOWED_MODULES))} are allowed")
            continue
        if lib not in export_cache:
            export_cache[lib] = library_exports(args.nm, os.path.join(args.libdir, lib), args.arch == "x86")
        exported = export_cache[lib]
        bad = [n for n in names if n not in exported]
        f.check(not bad, f"{len(names)} imports from {dll}, each exported by it",
                "not exported: " + ", ".join(bad))

    with open(args.image, "rb") as fh:
        data = fh.read()
    try:
        vi = version_info(Image(data))
    except (ValueError, struct.error, UnicodeDecodeError) as e:
        vi = None
        f.fail(f"version resource unreadable: {e}")
    else:
        if vi is None:
            f.fail("no version resource")
    if vi:
        s = vi["strings"]
        f.check(vi["file"] == args.file_version, f"FILEVERSION {args.file_version}", vi["file"])
        f.check(vi["product"] == args.product_version, f"PRODUCTVERSION {args.product_version}", vi["product"])
        f.check(vi["type"] == VFT_DRV, "file type VFT_DRV", str(vi["type"]))
        f.check(s.get("FileVersion") == args.file_version, f"FileVersion string {args.file_version}",
                repr(s.get("FileVersion")))
        f.check(s.get("ProductVersion") == args.product_version,
                f"ProductVersion string {args.product_version}", repr(s.get("ProductVersion")))
        f.check(s.get("OriginalFilename") == args.original_filename,
                f"OriginalFilename {args.original_filename}", repr(s.get("OriginalFilename")))
        desc = s.get("FileDescription", "")
        f.check(args.description_contains.lower() in desc.lower(),
                f"FileDescription mentions '{args.description_contains}'", repr(desc))

    if f.errors:
        print(f"check_pe: {len(f.errors)} finding(s) in {args.image}")
        return 1
    print(f"check_pe: {args.image} passes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
