#!/usr/bin/env python3
"""Checks that a CA bundle holds Debian's certificate authorities alone: each
certificate in it is one of the files that Debian's ca-certificates package
ships (/usr/share/ca-certificates/mozilla/, compared by SHA-256 fingerprint),
none is missing, and it holds no other PEM block (OpenSSL would also trust a
"TRUSTED CERTIFICATE"). A certificate that a machine's administrator added
(/usr/local/share/ca-certificates, which /etc/ssl/certs takes in) fails.

usage: ca_bundle_check.py BUNDLE      exit 0 when it holds, 1 when not
"""
import base64
import hashlib
import re
import subprocess
import sys

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


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__.strip() + "\n")
        return 2
    with open(sys.argv[1], encoding="ascii", errors="replace") as f:
        found = blocks(f.read())
    debian = debian_certificates()
    if not debian:
        print("FAIL no certificate found in Debian's ca-certificates package")
        return 1
    failures = 0
    seen = set()
    for kind, der in found:
        if kind != "CERTIFICATE":
            print(f"FAIL a {kind} block")
            failures += 1
            continue
        fp = fingerprint(der)
        if fp not in debian:
            print(f"FAIL not Debian's: SHA-256 {fp} {subject(der)}")
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
