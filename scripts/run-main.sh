#!/usr/bin/env bash
# The main job: plays a live channel in the receiver emulator.
#
# The local HLS test source serves a live stream of real video (made once by
# ffmpeg, H.264 and AAC) on 127.0.0.1. Orvado runs on
# a fresh disk image whose settings file, in its old place, names that stream
# as channel 1 (the TAP moves the file into its settings folder and shows the
# menu). Digit 1 starts the channel: the TAP downloads the stream with wget and
# starts the player once the file is large enough; the player decodes it.
# Exit stops the stream and Exit in the menu ends the TAP. The receiver's
# console is printed; the screenshots out/menu.png and out/playing.png and the
# decoded sound out/audio.wav are saved, and out/shell.log holds what the
# shell commands printed.
#
# With --web [[ADDR:]PORT] (default 8080 on 127.0.0.1) the emulator serves the
# receiver's screen and remote control as a web page instead, and runs until
# Ctrl-C, which stops the test source too.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
web=""
if [ "${1:-}" = "--web" ]; then web="${2:-8080}"; fi
"$root/scripts/build.sh" orvado-emu Orvado disk
out="$root/out"
mkdir -p "$out"
rm -f "$out/menu.png" "$out/playing.png"

python3 "$root/tools/hlssource/hlssource.py" --port 0 --mode live --segment-seconds 2 \
  --video real --stop-after "$([ -n "$web" ] && echo 14400 || echo 180)" >"$out/hlssource.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
url=""
for _ in $(seq 600); do  # the first run makes the real video (some seconds)
  url=$(sed -n 's/^serving \(http[^ ]*\).*/\1/p' "$out/hlssource.log" | head -n 1)
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { echo "the HLS test source did not start:"; cat "$out/hlssource.log"; exit 1; }
echo "HLS test source: ${url}index.m3u8"

template="$out/disk-template"
rm -rf "$template"
cp -r "$root/build/disk" "$template"
sed "s|@LIVE@|${url}index.m3u8|" "$root/scripts/sample-orvado.ini" >"$template/ProgramFiles/orvado.ini"

if [ -n "$web" ]; then
  echo "Orvado with the web front end; digit 1 plays the live channel. Ctrl-C stops everything."
  status=0
  "$root/build/orvado-emu" --template "$template" --web "$web" "$root/build/Orvado.tap" 2>"$out/shell.log" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 130 ] || { tail -n 5 "$out/shell.log"; exit "$status"; }
  exit 0
fi
"$root/build/orvado-emu" --template "$template" --keys "3s:1,35s:exit,38s:exit" --audio "$out/audio.wav" \
  --shot "2s:$out/menu.png" --shot "12s:$out/playing.png" "$root/build/Orvado.tap" 2>"$out/shell.log"
echo "Screenshots: $out/menu.png $out/playing.png"
