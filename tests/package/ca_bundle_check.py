#!/usr/bin/env python3
"""Checks that the package's folder of certificate authorities holds
Debian's alone: each certificate in it is one of the files that Debian's
ca-certificates package ships (/usr/share/ca-certificates/mozilla/, compared
by SHA-256 fingerprint), none is missing, and it holds no other PEM block
(OpenSSL would also trust a "TRUSTED CERTIFICATE"). A certificate that a
machine's administrator added (/usr/local/share/ca-certificates, which
/etc/ssl/certs takes in) fails. Each file holds one certificate and is named
as OpenSSL looks it up: the hash of its subject, a dot and a number.

usage: ca_bundle_check.py FOLDER      exit 0 when it holds, 1 when not
"""
import base64
import hashlib
import os
import re
import subprocess
import sys
import tempfile

PEM = re.compile(r"-----BEGIN ([A-Z0-9 ]+)-----\s*(.*?)-----END \1-----", re.S)


def blocks(text):
    """[(kind, der)] of every PEM block in `text`."""
    return [(m.group(1), base64.b64decode("".join(m.group(2).split()))) for m in PEM.finditer(text)]


def fingerprint(der):
    return hashlib.sha256(der).hexdigest()


def debian_certificates():
    """{fingerprint: file} of the certificates that ca-certificates ships."""
    files = subprocess.run(["dpkg-query", "-L", "ca-certificates"], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    found = {}
    for path in files:
        if path.startswith("/usr/share/ca-certificates/mozilla/") and path.endswith(".crt"):
            with open(path, encoding="ascii") as f:
                for kind, der in blocks(f.read()):
                    if kind == "CERTIFICATE":
                        found[fingerprint(der)] = path
    return found


def subject(der):
    """The certificate's subject as openssl prints it, for the report."""
    pem = "-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der).decode() + "-----END CERTIFICATE-----\n"
    r = subprocess.run(["openssl", "x509", "-noout", "-subject"], input=pem, capture_output=True, text=True)
    return r.stdout.strip() or "(unreadable)"


def subject_hashes(folder, names):
    """{name: the hash of its certificate's subject}, from one run of
    openssl rehash over copies of the files (one process, not one a file)."""
    with tempfile.TemporaryDirectory() as tmp:
        for i, name in enumerate(names):
            with open(os.path.join(folder, name), "rb") as src, open(os.path.join(tmp, f"c{i}.pem"), "wb") as dst:
                dst.write(src.read())
        subprocess.run(["openssl", "rehash", tmp], check=True, capture_output=True)
        hashes = {}
        for link in os.listdir(tmp):
            if os.path.islink(os.path.join(tmp, link)):
                target = os.readlink(os.path.join(tmp, link))
                hashes[names[int(target[1:-4])]] = link.split(".")[0]
        return hashes


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__.strip() + "\n")
        return 2
    if not os.path.isdir(sys.argv[1]):
        print(f"FAIL no folder {sys.argv[1]}")
        return 1
    debian = debian_certificates()
    if not debian:
        print("FAIL no certificate found in Debian's ca-certificates package")
        return 1
    failures = 0
    seen = set()
    found = []
    names = sorted(os.listdir(sys.argv[1]))
    hashes = subject_hashes(sys.argv[1], names)
    for name in names:
        with open(os.path.join(sys.argv[1], name), encoding="ascii", errors="replace") as f:
            here = blocks(f.read())
        found += here
        if len(here) != 1:
            print(f"FAIL {name} holds {len(here)} blocks, not one certificate")
            failures += 1
        for kind, der in here:
            if kind != "CERTIFICATE":
                print(f"FAIL {name}: a {kind} block")
                failures += 1
                continue
            fp = fingerprint(der)
            if fp not in debian:
                print(f"FAIL {name}: not Debian's: SHA-256 {fp} {subject(der)}")
                failures += 1
            elif len(here) == 1 and not re.fullmatch(re.escape(hashes.get(name, "?")) + r"\.\d+", name):
                print(f"FAIL {name}: not named by its subject's hash ({hashes.get(name)})")
                failures += 1
            seen.add(fp)
    for fp in sorted(set(debian) - seen):
        print(f"FAIL missing Debian's {debian[fp]}")
        failures += 1
    print(f"ca_bundle_check: {len(found)} blocks, {len(seen & set(debian))} of Debian's {len(debian)} certificates, "
          + ("every check holds" if failures == 0 else f"{failures} checks failed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
