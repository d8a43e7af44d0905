#!/usr/bin/env python3
"""Reads the receiver's Orvado.tap back with binutils and checks it against
the PC build of the same sources: a 32-bit little-endian MIPS shared object,
position-independent, the same six header sections byte for byte, exactly the
same exported symbols, and no C++ run-time that the receiver lacks.

usage: tap_elf_check.py MIPS_TAP PC_TAP   (exit 0 when every check holds)
"""
import os
import re
import subprocess
import sys
import tempfile

CROSS = "mipsel-linux-gnu-"
HEADER_SECTIONS = {"._tap_header": 32, "._tap_id": 4, "._tap_author_name": 64,
                   "._tap_program_name": 64, "._tap_description": 128, "._tap_etcinfo": 64}
# What the receiver's firmware offers a TAP: its C library. No libstdc++, no
# libgcc_s, no unwinder, no RTTI.
ALLOWED_NEEDED = {"libc.so.6"}
CXX_RUNTIME = re.compile(r"^(_Znw|_Zna|_Zdl|_Zda|_ZTI|_ZTS|_ZTV|__cxa_(?!finalize)|__gxx_personality|_Unwind_|__dynamic_cast)")

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def exported(tool, path):
    names = set()
    for line in run(tool + "readelf", "--dyn-syms", "-W", path).splitlines():
        f = line.split()
        if len(f) >= 8 and f[0].endswith(":") and f[4] in ("GLOBAL", "WEAK") and f[6] != "UND" and f[5] == "DEFAULT":
            names.add(f[7].split("@")[0])
    return names


def undefined(tool, path):
    return {l.split()[7].split("@")[0] for l in run(tool + "readelf", "--dyn-syms", "-W", path).splitlines()
            if len(l.split()) >= 8 and l.split()[6] == "UND"}


def section_bytes(tool, path, name, tmp):
    out = os.path.join(tmp, name.strip(".") + os.path.basename(os.path.dirname(os.path.abspath(path))))
    run(tool + "objcopy", "-O", "binary", "--only-section=" + name, path, out)
    with open(out, "rb") as f:
        return f.read()


def main():
    mips, pc = sys.argv[1], sys.argv[2]
    header = run(CROSS + "readelf", "-h", mips)
    check(re.search(r"Class:\s+ELF32", header) is not None, "ELF32")
    check(re.search(r"Data:\s+2's complement, little endian", header) is not None, "little-endian")
    check(re.search(r"Machine:\s+MIPS", header) is not None, "machine MIPS")
    check(re.search(r"Type:\s+DYN", header) is not None, "shared object")
    check(re.search(r"Flags:.*\bpic\b", header) is not None, "position-independent code (pic flag)")
    dynamic = run(CROSS + "readelf", "-d", mips)
    check("TEXTREL" not in dynamic, "no text relocations")

    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    print("     needed libraries: " + " ".join(sorted(needed)))
    check(needed <= ALLOWED_NEEDED, "needs only " + ", ".join(sorted(ALLOWED_NEEDED)))
    runtime = sorted(n for n in undefined(CROSS, mips) if CXX_RUNTIME.match(n))
    check(not runtime, "no C++ run-time symbols wanted" + (": " + " ".join(runtime) if runtime else ""))
    # A shared object links with names left open; on the receiver each must
    # be a TAP interface entry or the C library's, or the load fails.
    stray = []
    for line in run(CROSS + "readelf", "--dyn-syms", "-W", mips).splitlines():
        f = line.split()
        if len(f) >= 8 and f[0].endswith(":") and f[6] == "UND" and f[4] == "GLOBAL":
            if not (f[7].startswith("TAP_") or "@GLIBC_" in f[7]):
                stray.append(f[7])
    check(not stray, "every needed name is the firmware's or the C library's" +
          (": not " + " ".join(sorted(stray)) if stray else ""))
    sections = run(CROSS + "readelf", "-S", "-W", mips)
    check(".gcc_except_table" not in sections, "no exception tables")

    with tempfile.TemporaryDirectory() as tmp:
        for name, size in HEADER_SECTIONS.items():
            m = section_bytes(CROSS, mips, name, tmp)
            p = section_bytes("", pc, name, tmp)
            check(len(m) == size, f"{name} holds {size} bytes (has {len(m)})")
            check(m == p, f"{name} is byte for byte the PC build's")
        hdr = section_bytes(CROSS, mips, "._tap_header", tmp)
        check(hdr[:8] == b"KRUXMIPS", "header magic KRUXMIPS")

    mine, theirs = exported(CROSS, mips), exported("", pc)
    print("     exported: " + " ".join(sorted(mine)))
    check(mine == theirs, "exports exactly the PC build's symbols" +
          ("" if mine == theirs else f" (only MIPS: {sorted(mine - theirs)}, only PC: {sorted(theirs - mine)})"))
    print("tap_elf_check: " + ("every check holds" if not failures else f"{len(failures)} checks failed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
