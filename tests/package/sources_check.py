#!/usr/bin/env python3
"""Checks the sources tarball beside a package (out/orvado-VERSION.tar.gz and
out/orvado-VERSION-sources.tar.xz): it holds every Debian source package that
the package's licences/SOURCES.txt names, whole (the .dsc and each file that
it lists, by size and SHA-256), and the wget's recipe as it is in the
repository (the build script, the fetch script and tools/receiver-wget/).

usage: sources_check.py PACKAGE REPOSITORY     exit 0 when it holds, 1 when not
"""
import hashlib
import os
import re
import sys
import tarfile

RECIPE = ["scripts/build-receiver-wget.sh", "scripts/debian-source.sh", "tests/receiver/tap_elf_check.py"]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def source_packages(package):
    """[(name, version)] that the package's SOURCES.txt names."""
    with tarfile.open(package) as tar:
        member = next((m for m in tar.getmembers() if m.name.endswith("/licences/SOURCES.txt")), None)
        if member is None:
            return []
        text = tar.extractfile(member).read().decode()
    listed = text.split("built from these Debian source packages:", 1)[-1]
    return re.findall(r"^  (\S+) (\S+)$", listed.split("\nwith ", 1)[0], re.M)


def dsc_files(text):
    """{file: (size, sha256)} that a .dsc lists."""
    block = re.search(r"^Checksums-Sha256:\n((?: .*\n?)+)", text, re.M)
    files = {}
    for line in (block.group(1).splitlines() if block else []):
        digest, size, name = line.split()
        files[name] = (int(size), digest)
    return files


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__.strip() + "\n")
        return 2
    package, repo = sys.argv[1], sys.argv[2]
    name = os.path.basename(package)[: -len(".tar.gz")]
    path = os.path.join(os.path.dirname(package), name + "-sources.tar.xz")
    if not os.path.exists(path):
        check(False, f"{os.path.basename(path)} lies beside {os.path.basename(package)}")
        print(f"sources_check: {len(failures)} checks failed")
        return 1
    packages = source_packages(package)
    check(len(packages) > 0, f"the package's SOURCES.txt names source packages ({len(packages)})")
    contents = {}
    with tarfile.open(path) as tar:
        for m in tar.getmembers():
            if m.isfile():
                contents[m.name.split("/", 1)[-1]] = tar.extractfile(m).read()
    for source, version in packages:
        dsc = f"debian/{source}_{version.split(':', 1)[-1]}.dsc"
        if dsc not in contents:
            check(False, f"{source} {version}: {dsc}")
            continue
        listed = dsc_files(contents[dsc].decode(errors="replace"))
        bad = [f for f, (size, digest) in listed.items()
               if len(contents.get("debian/" + f, b"")) != size
               or hashlib.sha256(contents.get("debian/" + f, b"")).hexdigest() != digest]
        check(listed and not bad, f"{source} {version}: the .dsc and its {len(listed)} files" +
              (", not as listed: " + " ".join(bad) if bad else ""))
    recipe = RECIPE + [os.path.join("tools/receiver-wget", f)
                       for f in sorted(os.listdir(os.path.join(repo, "tools/receiver-wget")))]
    with open(os.path.join(repo, "LICENSE"), "rb") as f:
        check(contents.get("recipe/LICENSE") == f.read(), "recipe/LICENSE is Orvado's licence")
    for f in recipe:
        with open(os.path.join(repo, f), "rb") as mine:
            check(contents.get("recipe/" + f) == mine.read(), f"recipe/{f} is the repository's")
    print("sources_check: " + ("every check holds" if not failures else f"{len(failures)} checks failed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
