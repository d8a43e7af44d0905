#!/usr/bin/env bash
# The main job: runs Orvado in the receiver emulator on a fresh disk image,
# presses digit 1 and Exit, prints the receiver's console and saves a
# screenshot to out/screenshot.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" orvado-emu
mkdir -p "$root/out"
"$root/build/orvado-emu" --keys "2s:1,4s:exit,6s:exit" --screenshot "$root/out/screenshot.png" \
  --screenshot-at 1s "$root/build/Orvado.tap"
echo "Screenshot: $root/out/screenshot.png"
