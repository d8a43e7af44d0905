#!/usr/bin/env bash
# The main job: runs Orvado in the receiver emulator on a fresh disk image
# that holds a settings file in its old place (the TAP moves it into its
# settings folder and reads the channels), presses digit 1 and Exit, then Exit
# in the menu, prints the receiver's console and saves a screenshot of the
# menu to out/screenshot.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" orvado-emu
mkdir -p "$root/out"
template="$root/out/disk-template"
rm -rf "$template"
cp -r "$root/build/disk" "$template"
cp "$root/scripts/sample-orvado.ini" "$template/ProgramFiles/orvado.ini"
"$root/build/orvado-emu" --template "$template" --keys "2s:1,4s:exit,6s:exit" \
  --screenshot "$root/out/screenshot.png" --screenshot-at 1s "$root/build/Orvado.tap"
echo "Screenshot: $root/out/screenshot.png"
