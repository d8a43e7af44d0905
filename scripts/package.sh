#!/usr/bin/env bash
# Makes out/orvado-<version>.tar.gz for users, laid out as on the receiver's
# disk: the receiver's Orvado.tap, its static wget (scripts/build-receiver-wget.sh)
# with Debian's CA bundle and a wgetrc that names it, both fonts,
# FirmwareTMS.dat, a sample channel list under a name that never overwrites
# the user's own orvado.ini, INSTALL.txt, and the licences of everything in it
# with the Debian source packages they were built from. The version is the
# one in the TAP's description.
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
mkdir -p "$top/ProgramFiles/Settings/Fonts" "$top/ProgramFiles/Settings/orvado"
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
while IFS= read -r ca; do cat "$ca"; done <"$stage/cas" >"$top/ProgramFiles/Settings/orvado/ca-certificates.crt"
cp "$root/packaging/wgetrc" "$top/ProgramFiles/Settings/orvado/wgetrc"
cp "$root/packaging/INSTALL.txt" "$top/"

# Licences, and where each shipped part comes from.
licences="$top/licences"
mkdir -p "$licences"
cp "$wget_dir"/licences/* "$licences/"
cp /usr/share/doc/ca-certificates/copyright "$licences/ca-certificates.copyright"
cp /usr/share/doc/fonts-crosextra-carlito/copyright "$licences/fonts-crosextra-carlito.copyright"
cp /usr/share/doc/fonts-dejavu-core/copyright "$licences/fonts-dejavu-core.copyright"
{
  cat "$wget_dir/SOURCES.txt"
  echo
  echo "The CA bundle (ProgramFiles/Settings/orvado/ca-certificates.crt) is Debian's"
  echo "  ca-certificates $(dpkg-query -W -f='${Version}' ca-certificates)"
  echo "The fonts (ProgramFiles/Settings/Fonts) are made with Orvado's font converter from"
  echo "  fonts-crosextra-carlito $(dpkg-query -W -f='${Version}' fonts-crosextra-carlito) (Carlito)"
  echo "  fonts-dejavu-core $(dpkg-query -W -f='${Version}' fonts-dejavu-core) (DejaVu Sans, for the characters Carlito lacks)"
} >"$licences/SOURCES.txt"
mkdir -p "$root/out"
tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$root/out/$name.tar.gz" "$name"
echo "$root/out/$name.tar.gz"
tar -tvzf "$root/out/$name.tar.gz"
