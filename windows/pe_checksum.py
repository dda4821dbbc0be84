#!/usr/bin/env python3
"""Writes the PE image checksum (the one IMAGEHLP's CheckSumMappedFile computes)
into the optional header of a PE file, or verifies it with --verify."""
import struct
import sys


def checksum_offset(data: bytes) -> int:
    if data[:2] != b"MZ":
        raise ValueError("not an MZ image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    # COFF header is 20 bytes; CheckSum sits at offset 64 of the optional header
    # for both PE32 and PE32+.
    return pe + 4 + 20 + 64


def compute(data: bytes) -> int:
    off = checksum_offset(data)
    buf = bytearray(data)
    buf[off:off + 4] = b"\0\0\0\0"
    if len(buf) % 2:
        buf.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", bytes(buf)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(argv):
    verify = "--verify" in argv
    paths = [a for a in argv[1:] if a != "--verify"]
    if len(paths) != 1:
        print("usage: pe_checksum.py [--verify] IMAGE", file=sys.stderr)
        return 2
    with open(paths[0], "rb") as f:
        data = f.read()
    want = compute(data)
    off = checksum_offset(data)
    have = struct.unpack_from("<I", data, off)[0]
    if verify:
        if have != want:
            print(f"{paths[0]}: checksum 0x{have:08x}, expected 0x{want:08x}", file=sys.stderr)
            return 1
        return 0
    if have != want:
        with open(paths[0], "r+b") as f:
            f.seek(off)
            f.write(struct.pack("<I", want))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
