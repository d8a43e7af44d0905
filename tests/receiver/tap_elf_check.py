#!/usr/bin/env python3
"""Reads the receiver's Orvado.tap back with binutils and checks it against
the PC build of the same sources: a 32-bit little-endian MIPS shared object,
position-independent, the same six header sections byte for byte (the build
date in form only, since two builds may straddle midnight), exactly the
same exported symbols, and no C++ run-time that the receiver lacks.

usage: tap_elf_check.py MIPS_TAP PC_TAP           every check (exit 0 when all hold)
       tap_elf_check.py --receiver-only MIPS_TAP   the receiver's lines alone
       tap_elf_check.py --isa-only MIPS_PROGRAM    only: release 1 in its header and its code
"""
import functools
import importlib.util
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
ALLOWED_NEEDED = {"libc.so.6", "libdl.so.2"}
LIBC = "/usr/mipsel-linux-gnu/lib/libc.so.6"
DL_CALLS = {"dlopen", "dlsym", "dlerror", "dlclose"}
NEWER_ENTRIES = re.compile(r"^(__\w+_chk|__stack_chk_\w+|__isoc99_\w+|__\w*time64\w*|\w+_time64)$")
# What MIPS32 release 2 added to the integer instructions, as objdump names them.
RELEASE2 = {"ext", "ins", "seb", "seh", "wsbh", "rotr", "rotrv", "di", "ei", "rdpgpr", "wrpgpr", "synci",
            "jalr.hb", "jr.hb", "mfhc1", "mthc1", "mfhc2", "mthc2"}
FLOAT = re.compile(r"^(l|s)(w|d)x?c1$|^(m[ft]h?c1|c[ft]c1|bc1[ft]l?|mov[ft])$|\.(s|d|ps)$|\.[wl]$")
EF_MIPS_ARCH = {0x00000000: "mips1", 0x10000000: "mips2", 0x50000000: "mips32", 0x70000000: "mips32r2",
                0x90000000: "mips32r6"}
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


def version_needs(tool, path):
    """{symbol: (file, version)} for every versioned reference."""
    text = run(tool + "readelf", "-V", "-W", path)
    index = {}
    needs = text[text.find(".gnu.version_r"):] if ".gnu.version_r" in text else ""
    current = None
    for line in needs.splitlines():
        m = re.search(r"File: (\S+)", line)
        if m:
            current = m.group(1)
        m = re.search(r"Name: (\S+)\s+Flags: \S+\s+Version: (\d+)", line)
        if m and current:
            index[int(m.group(2))] = (current, m.group(1))
    result = {}
    for line in run(tool + "readelf", "--dyn-syms", "-W", path).splitlines():
        f = line.split()
        if len(f) >= 8 and f[0].endswith(":") and f[6] == "UND" and "@" in f[7]:
            name, version = f[7].split("@")[0], f[7].split("@")[-1]
            m = re.search(r"\((\d+)\)", line)
            file = index.get(int(m.group(1)), ("?", version))[0] if m else "?"
            result[name] = (file, version)
    return result


def version_key(v):
    return [int(x) for x in re.findall(r"\d+", v)]


def oldest_versions(lib):
    """{name: oldest version} of what `lib` defines."""
    oldest = {}
    for line in run(CROSS + "readelf", "--dyn-syms", "-W", lib).splitlines():
        f = line.split()
        if len(f) >= 8 and f[0].endswith(":") and f[6] != "UND" and "@" in f[7]:
            name, version = re.split("@@?", f[7], maxsplit=1)
            if name not in oldest or version_key(version) < version_key(oldest[name]):
                oldest[name] = version
    return oldest


@functools.lru_cache(maxsize=None)
def disassembly(path):
    """[(address, mnemonic)] of every instruction of the code sections,
    decoded as release 2 whatever the header says: objdump leaves the
    instructions that the header's release lacks as bare words."""
    found = []
    for line in run(CROSS + "objdump", "-d", "-m", "mips:isa32r2", "--no-show-raw-insn", path).splitlines():
        m = re.match(r"\s*([0-9a-f]+):\s+(\S+)", line)
        if m:
            found.append((m.group(1), m.group(2)))
    return found


def instructions(path):
    """Mnemonics of the code sections, with the first address of each."""
    found = {}
    for address, mnemonic in disassembly(path):
        found.setdefault(mnemonic, address)
    return found


def fp_abi(path):
    spec = importlib.util.spec_from_file_location(
        "mips_fp_abi", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/mips-fp-abi.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    with open(path, "rb") as f:
        return module.fp_abi(f.read())


def check_receiver(mips):
    check_isa(mips)
    mnemonics = instructions(mips)
    fp = sorted(f"{m} at {a}" for m, a in mnemonics.items() if FLOAT.search(m))
    check(not fp, "no floating-point instruction" + (": " + ", ".join(fp) if fp else ""))
    abi = fp_abi(mips)
    check(abi["abiflags"] == 0 and abi["attributes"] in (0, None),
          f"FP-ABI attribute 'any' (.MIPS.abiflags {abi['abiflags']}, .gnu.attributes {abi['attributes']})")

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
    needs = version_needs(CROSS, mips)
    oldest = oldest_versions(LIBC)
    newest = max((v for _, v in needs.values()), key=version_key, default="none")
    print(f"     {len(needs)} versioned references, the newest {newest}")
    late = sorted(f"{n}@{v}" for n, (_, v) in needs.items() if version_key(v) > version_key("GLIBC_2.2"))
    check(not late, "no C-library version newer than GLIBC_2.2" + (": " + " ".join(late) if late else ""))
    not_oldest = sorted(f"{n}@{v} (oldest {oldest.get(n)})" for n, (_, v) in needs.items()
                        if n in oldest and v != oldest[n])
    check(not not_oldest, "each reference at the oldest version the MIPS C library has" +
          (": " + " ".join(not_oldest) if not_oldest else ""))
    dl_wrong = sorted(f"{n} from {f}" for n, (f, _) in needs.items() if n in DL_CALLS and f != "libdl.so.2")
    check(not dl_wrong, "the dl calls come from libdl.so.2" + (": " + " ".join(dl_wrong) if dl_wrong else ""))
    newer = sorted(n for n in undefined(CROSS, mips) if NEWER_ENTRIES.match(n))
    check(not newer, "no fortified, stack-protector, C99-scanf or 64-bit-time entry" +
          (": " + " ".join(newer) if newer else ""))


def check_isa(path):
    """What any program for the receiver must hold: an ELF header (and ABI
    flags, where there are some) that names MIPS32 release 1, no release-2
    instruction, and no rdhwr. A release-1 core traps on rdhwr, which C
    libraries use to read the thread pointer, and only newer kernels emulate
    it, slowly."""
    header = run(CROSS + "readelf", "-h", path)
    flags = int(re.search(r"Flags:\s+0x([0-9a-f]+)", header).group(1), 16)
    arch = EF_MIPS_ARCH.get(flags & 0xF0000000, hex(flags & 0xF0000000))
    check(arch == "mips32", f"the ELF header names MIPS32 release 1 (names {arch})")
    isa = re.search(r"^ISA: (\S+)", run(CROSS + "readelf", "-A", path), re.M)
    if isa:
        check(isa.group(1) == "MIPS32", f"the ABI flags name MIPS32 release 1 (name {isa.group(1)})")
    r2 = sorted(f"{m} at {a}" for m, a in instructions(path).items() if m in RELEASE2)
    check(not r2, "no release-2 instruction" + (": " + ", ".join(r2) if r2 else ""))
    rdhwr = [a for a, m in disassembly(path) if m == "rdhwr"]
    check(not rdhwr, f"no rdhwr (holds {len(rdhwr)}" + (", the first at " + rdhwr[0] if rdhwr else "") + ")")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--isa-only":
        check_isa(sys.argv[2])
        print("tap_elf_check: " + ("every check holds" if not failures else f"{len(failures)} checks failed"))
        return 1 if failures else 0
    if len(sys.argv) == 3 and sys.argv[1] == "--receiver-only":
        check_receiver(sys.argv[2])
        print("tap_elf_check: " + ("every check holds" if not failures else f"{len(failures)} checks failed"))
        return 1 if failures else 0
    if len(sys.argv) != 3 or sys.argv[1].startswith("-"):
        sys.stderr.write(__doc__.strip() + "\n")
        return 2
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
    check_receiver(mips)
    sections = run(CROSS + "readelf", "-S", "-W", mips)
    check(".gcc_except_table" not in sections, "no exception tables")

    with tempfile.TemporaryDirectory() as tmp:
        for name, size in HEADER_SECTIONS.items():
            m = section_bytes(CROSS, mips, name, tmp)
            p = section_bytes("", pc, name, tmp)
            check(len(m) == size, f"{name} holds {size} bytes (has {len(m)})")
            if name == "._tap_etcinfo":
                # The build date: the two builds may fall on either side of midnight.
                check(re.fullmatch(rb"[A-Z][a-z]{2} [ 0-3][0-9] [0-9]{4}\0{53}", m) is not None,
                      f"{name} holds a build date (has {m[:11]!r})")
            else:
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
