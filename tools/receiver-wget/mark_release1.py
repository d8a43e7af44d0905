#!/usr/bin/env python3
"""Makes the ELF header and the ABI flags of a 32-bit little-endian MIPS
program say MIPS32 release 1, in place.

The receiver's wget is compiled for release 1, but the linker marks the
program with the highest release among its objects, and GCC's start files
and helper routines from Debian's libgcc are built for release 2 (their code
that the wget takes holds no release-2 instruction). The recipe checks the
code afterwards (tests/receiver/tap_elf_check.py --isa-only), so the mark
never covers an instruction that a release-1 core lacks.

usage: mark_release1.py PROGRAM      exit 0 when marked, 1 when PROGRAM is not
                                     a MIPS32 (release 1 or 2) ELF32 file
"""
import struct
import sys

EF_MIPS_ARCH = 0xF0000000
EF_MIPS_ARCH_32 = 0x50000000
EF_MIPS_ARCH_32R2 = 0x70000000
EM_MIPS = 8
SHT_MIPS_ABIFLAGS = 0x7000002A


def mark(data):
    """Returns `data` marked as release 1, or raises ValueError."""
    if data[:6] != b"\x7fELF\x01\x01":
        raise ValueError("not a 32-bit little-endian ELF file")
    machine, = struct.unpack_from("<H", data, 18)
    flags, = struct.unpack_from("<I", data, 36)
    if machine != EM_MIPS or flags & EF_MIPS_ARCH not in (EF_MIPS_ARCH_32, EF_MIPS_ARCH_32R2):
        raise ValueError(f"not a MIPS32 program (machine {machine}, flags {flags:#x})")
    out = bytearray(data)
    struct.pack_into("<I", out, 36, (flags & ~EF_MIPS_ARCH) | EF_MIPS_ARCH_32)
    shoff, = struct.unpack_from("<I", data, 32)
    shentsize, shnum = struct.unpack_from("<HH", data, 46)
    for i in range(shnum):
        at = shoff + i * shentsize
        sh_type, = struct.unpack_from("<I", data, at + 4)
        offset, size = struct.unpack_from("<II", data, at + 16)
        if sh_type == SHT_MIPS_ABIFLAGS and size >= 4:
            level, rev = data[offset + 2], data[offset + 3]
            if level != 32 or rev not in (1, 2):
                raise ValueError(f"ABI flags name ISA level {level} release {rev}")
            out[offset + 3] = 1
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__.strip() + "\n")
        return 2
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        marked = mark(data)
    except ValueError as e:
        sys.stderr.write(f"mark_release1: {sys.argv[1]}: {e}\n")
        return 1
    with open(sys.argv[1], "wb") as f:
        f.write(marked)
    return 0


if __name__ == "__main__":
    sys.exit(main())
