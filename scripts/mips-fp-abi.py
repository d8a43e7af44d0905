#!/usr/bin/env python3
"""Reads or sets the floating-point ABI that a 32-bit little-endian MIPS ELF
file declares, in its .MIPS.abiflags section (what the loaders read) and its
.gnu.attributes section (what the linker merges).

The receiver's TAP is compiled with -msoft-float, which declares "soft
float": a loader with hard float refuses such an object. The TAP holds no
floating-point instruction and passes no float across its edges, so the
truth is "any" (0), which loaders of both kinds accept.

usage: mips-fp-abi.py FILE             prints the value of each section
       mips-fp-abi.py --set-any FILE   sets both to 0 ("any")
"""
import struct
import sys

SHT_GNU_ATTRIBUTES = 0x6FFFFFF5
SHT_MIPS_ABIFLAGS = 0x7000002A
TAG_GNU_MIPS_ABI_FP = 4
NAMES = {0: "any", 1: "double", 2: "single", 3: "soft", 4: "old 64-bit", 5: "xx", 6: "64", 7: "64a"}


def sections(data):
    if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
        raise ValueError("not a 32-bit little-endian ELF file")
    shoff, = struct.unpack_from("<I", data, 0x20)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x2E)
    for i in range(shnum):
        _, kind, _, _, offset, size = struct.unpack_from("<6I", data, shoff + i * shentsize)
        yield kind, offset, size


def uleb(data, pos):
    value, shift = 0, 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def attribute_positions(data, offset, size):
    """Offsets of the Tag_GNU_MIPS_ABI_FP values in a .gnu.attributes section."""
    if data[offset:offset + 1] != b"A":
        return
    pos, end = offset + 1, offset + size
    while pos + 4 <= end:
        length, = struct.unpack_from("<I", data, pos)
        vendor_end = data.index(b"\0", pos + 4)
        if data[pos + 4:vendor_end] == b"gnu":
            sub = vendor_end + 1
            while sub < pos + length:
                tag, p = uleb(data, sub)
                sublen, = struct.unpack_from("<I", data, p)
                p += 4
                if tag == 1:  # the whole file
                    while p < sub + sublen:
                        attr, p = uleb(data, p)
                        if attr == 4 or attr % 2 == 0:  # integer-valued
                            start = p
                            _, p = uleb(data, p)
                            if attr == TAG_GNU_MIPS_ABI_FP:
                                yield start
                        else:
                            p = data.index(b"\0", p) + 1
                sub += sublen
        pos += max(length, 1)


def fp_abi(data):
    """{"abiflags": value or None, "attributes": value or None}"""
    found = {"abiflags": None, "attributes": None}
    for kind, offset, size in sections(data):
        if kind == SHT_MIPS_ABIFLAGS and size >= 24:
            found["abiflags"] = data[offset + 7]
        elif kind == SHT_GNU_ATTRIBUTES:
            for at in attribute_positions(data, offset, size):
                found["attributes"] = data[at]
    return found


def main():
    args = sys.argv[1:]
    if not args or (args[0] == "--set-any" and len(args) != 2) or (args[0] != "--set-any" and len(args) != 1):
        print(__doc__, file=sys.stderr)
        return 2
    path = args[-1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if args[0] == "--set-any":
        for kind, offset, size in sections(data):
            if kind == SHT_MIPS_ABIFLAGS and size >= 24:
                data[offset + 7] = 0
            elif kind == SHT_GNU_ATTRIBUTES:
                for at in list(attribute_positions(data, offset, size)):
                    if data[at] >= 0x80:
                        raise ValueError("unexpected attribute encoding")
                    data[at] = 0
        with open(path, "wb") as f:
            f.write(data)
    for where, value in fp_abi(data).items():
        print(f"{where}: {'absent' if value is None else NAMES.get(value, value)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
