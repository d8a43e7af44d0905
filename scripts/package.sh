#!/usr/bin/env bash
# Makes out/orvado-<version>.tar.gz for users, laid out as on the receiver's
# disk: the receiver's Orvado.tap, its static wget (scripts/build-receiver-wget.sh)
# with Debian's certificate authorities in a folder that OpenSSL looks up by
# name, a wgetrc that names it and OpenSSL's settings, both fonts,
# FirmwareTMS.dat, a sample channel list under a name that never overwrites
# the user's own orvado.ini, INSTALL.txt, and the licences of everything in it
# with the Debian source packages they were built from. Beside it,
# out/orvado-<version>-sources.tar.xz: those source packages as apt-get
# fetched them, with the wget's recipe, patch and helpers, which the wget's
# licence (GPL) asks to pass on with it. The version is the one in the TAP's
# description.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# Build trees that are there already are brought up to date as they are.
if [ -f "$root/build/build.ninja" ]; then ninja -C "$root/build" disk >/dev/null
else "$root/scripts/build.sh" disk; fi
if [ -f "$root/build-mips/build.ninja" ]; then ninja -C "$root/build-mips" Orvado >/dev/null
else "$root/scripts/build-mips.sh" Orvado; fi

wget_dir="$("$root/scripts/build-receiver-wget.sh")"
tap="$root/build-mips/Orvado.tap"
disk="$root/build/disk/ProgramFiles/Settings"
description="$(mipsel-linux-gnu-objcopy -O binary --only-section=._tap_description "$tap" /dev/stdout | tr -d '\0')"
version="${description##* }"
case "$version" in ''|*[!A-Za-z0-9._-]*) echo "package: no version in the TAP's description \"$description\"" >&2; exit 1 ;; esac

name="orvado-$version"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
top="$stage/$name"
mkdir -p "$top/ProgramFiles/Settings/Fonts" "$top/ProgramFiles/Settings/orvado/ssl/certs"
# The TAP without its debugging information: the receiver's disk and memory
# are small.
mipsel-linux-gnu-strip --strip-debug -o "$top/ProgramFiles/Orvado.tap" "$tap"
cp "$disk/Fonts/Calibri_12.ufnt" "$disk/Fonts/Calibri_14.ufnt" "$top/ProgramFiles/Settings/Fonts/"
cp "$disk/FirmwareTMS.dat" "$top/ProgramFiles/Settings/"
cp "$root/packaging/orvado.ini" "$top/ProgramFiles/Settings/orvado/orvado.ini.sample"
cp "$wget_dir/wget" "$top/ProgramFiles/wget"
# Debian's certificate authorities alone: the files of its ca-certificates
# package, unchanged since it was installed. Never /etc/ssl/certs, which
# also holds what the machine's administrator added
# (/usr/local/share/ca-certificates): every owner's receiver would trust that.
changed="$(dpkg --verify ca-certificates | grep ' /usr/share/ca-certificates/' || true)"
[ -z "$changed" ] || { echo "package: Debian's certificates were changed on this machine:" >&2; echo "$changed" >&2; exit 1; }
dpkg-query -L ca-certificates | grep '^/usr/share/ca-certificates/mozilla/.*\.crt$' | LC_ALL=C sort >"$stage/cas"
[ -s "$stage/cas" ] || { echo "package: Debian's ca-certificates package ships no certificate here" >&2; exit 1; }
# One file each, named by the hash of its subject as OpenSSL looks it up
# (what "openssl rehash" would link; plain files, which FTP copies), so a
# fetch reads the one authority it needs: reading a bundle of all of them
# took three quarters of an HTTPS playlist fetch's instructions.
certs="$top/ProgramFiles/Settings/orvado/ssl/certs"
while IFS= read -r ca; do
  hash="$(openssl x509 -noout -subject_hash -in "$ca")"
  n=0
  while [ -e "$certs/$hash.$n" ]; do n=$((n + 1)); done
  cp "$ca" "$certs/$hash.$n"
done <"$stage/cas"
cp "$root/packaging/openssl.cnf" "$top/ProgramFiles/Settings/orvado/ssl/openssl.cnf"
cp "$root/packaging/wgetrc" "$top/ProgramFiles/Settings/orvado/wgetrc"
cp "$root/packaging/INSTALL.txt" "$top/"

# Licences, and where each shipped part comes from.
licences="$top/licences"
mkdir -p "$licences"
cp "$wget_dir"/licences/* "$licences/"
cp "$root/LICENSE" "$licences/orvado.LICENSE"
cp /usr/share/doc/ca-certificates/copyright "$licences/ca-certificates.copyright"
cp /usr/share/doc/fonts-crosextra-carlito/copyright "$licences/fonts-crosextra-carlito.copyright"
cp /usr/share/doc/fonts-dejavu-core/copyright "$licences/fonts-dejavu-core.copyright"
{
  echo "Orvado itself (ProgramFiles/Orvado.tap, and the font converter that made the fonts)"
  echo "is under the MIT licence (orvado.LICENSE)."
  echo
  cat "$wget_dir/SOURCES.txt"
  echo "These source packages, as apt-get source fetched them, and the recipe, patch and"
  echo "helpers are in $name-sources.tar.xz, published beside $name.tar.gz."
  echo
  echo "The certificate authorities (ProgramFiles/Settings/orvado/ssl/certs) are Debian's"
  echo "  ca-certificates $(dpkg-query -W -f='${Version}' ca-certificates)"
  echo "The fonts (ProgramFiles/Settings/Fonts) are made with Orvado's font converter from"
  echo "  fonts-crosextra-carlito $(dpkg-query -W -f='${Version}' fonts-crosextra-carlito) (Carlito)"
  echo "  fonts-dejavu-core $(dpkg-query -W -f='${Version}' fonts-dejavu-core) (DejaVu Sans, for the characters Carlito lacks)"
} >"$licences/SOURCES.txt"
mkdir -p "$root/out"
tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$root/out/$name.tar.gz" "$name"

# The sources. Their tarballs are compressed already: xz's fastest level.
# The recipe is the repository's: the wget's cache is keyed by the build
# script and tools/receiver-wget/, so those are the ones that built it.
sources="$stage/$name-sources"
mkdir -p "$sources/recipe/scripts" "$sources/recipe/tools" "$sources/recipe/tests/receiver"
cp -r "$wget_dir/sources" "$sources/debian"
cp "$root/scripts/build-receiver-wget.sh" "$root/scripts/debian-source.sh" "$sources/recipe/scripts/"
cp -r "$root/tools/receiver-wget" "$sources/recipe/tools/"
cp "$root/tests/receiver/tap_elf_check.py" "$sources/recipe/tests/receiver/"
cp "$root/LICENSE" "$sources/recipe/LICENSE"
cp "$licences/SOURCES.txt" "$sources/SOURCES.txt"
cat >"$sources/README.txt" <<EOF
The sources of the receiver's wget in Orvado $version (ProgramFiles/wget).
SOURCES.txt says what each part of the package is and where it comes from.

debian/   Debian's source packages, as apt-get source fetched them. Unpack
          one with: dpkg-source -x NAME_VERSION.dsc
recipe/   how the wget was built, laid out as in Orvado's repository, all
          Orvado's own code under the MIT licence (recipe/LICENSE):
          scripts/build-receiver-wget.sh, the build;
          scripts/debian-source.sh, which fetches the source packages;
          tools/receiver-wget/, the patch to musl, GCC's helper routines
            built for release 1, and the ELF header's release mark;
          tests/receiver/tap_elf_check.py, the check that the build runs.

To build it again on Debian 12 with the packages gcc-mipsel-linux-gnu,
binutils-mipsel-linux-gnu, dpkg-dev and python3: run
recipe/scripts/build-receiver-wget.sh, which fetches the same source packages
with apt-get source while Debian's archive serves them. To build from the
files here instead, unpack each .dsc into ~/.cache/orvado/src/NAME-UPSTREAM,
the folder that the script names (for instance musl-1.2.3), put an empty
file .unpacked-VERSION into it, and copy the package's files from debian/
into NAME-UPSTREAM.apt-source beside it.
EOF
XZ_OPT=-1 tar -C "$stage" --owner=0 --group=0 --sort=name -cJf "$root/out/$name-sources.tar.xz" "$name-sources"
echo "$root/out/$name.tar.gz"
tar -tvzf "$root/out/$name.tar.gz"
echo "$root/out/$name-sources.tar.xz"
tar -tvJf "$root/out/$name-sources.tar.xz"
