#!/usr/bin/env bash
# Makes out/orvado-<version>.tar.gz for users: the receiver's Orvado.tap, both
# fonts, FirmwareTMS.dat, a sample orvado.ini and INSTALL.txt, laid out as on
# the receiver's disk. The version is the one in the TAP's description.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# Build trees that are there already are brought up to date as they are.
if [ -f "$root/build/build.ninja" ]; then ninja -C "$root/build" disk >/dev/null
else "$root/scripts/build.sh" disk; fi
if [ -f "$root/build-mips/build.ninja" ]; then ninja -C "$root/build-mips" Orvado >/dev/null
else "$root/scripts/build-mips.sh" Orvado; fi

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
cp "$root/packaging/orvado.ini" "$top/ProgramFiles/Settings/orvado/"
cp "$root/packaging/INSTALL.txt" "$top/"
mkdir -p "$root/out"
tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$root/out/$name.tar.gz" "$name"
echo "$root/out/$name.tar.gz"
tar -tvzf "$root/out/$name.tar.gz"
