#!/usr/bin/env bash
# Instructions per megabyte of a picture's transport stream merged with a
# rendition's sound on the receiver's processor (MergeSoundTs, as the
# pipeline runs it for each chunk), beside a plain `cat`-like copy of the
# same bytes, counted under qemu-mipsel by the instruction-counting plugin
# of Debian's qemu source, as scripts/tswriter-mips-insns.sh does. The
# merge's file is built for MIPS32 release 1, -O2, as in the TAP. The input
# is ffmpeg's test picture (H.264, 1280x720 at 3 Mbit/s) and 1 kHz tone
# (AAC, 128 kb/s) as two transport streams of SECONDS seconds (default 60).
#   scripts/tsmerge-mips-insns.sh [SECONDS]
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
plugin="$("$root/scripts/qemu-insn-plugin.sh")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mipsel-linux-gnu-g++ -std=gnu++20 -O2 -march=mips32 -fno-exceptions -fno-rtti -static -I"$root" \
  "$root/tests/bench/tsmerge_count.cpp" "$root/app/MergeSoundTs.cpp" "$root/app/TsSectionPayload.cpp" -o "$work/tsmerge_count"

ffmpeg -loglevel error -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=$seconds" \
  -c:v libx264 -preset ultrafast -b:v 3M -g 25 -f mpegts -y "$work/video.ts"
ffmpeg -loglevel error -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=$seconds" \
  -c:a aac -b:a 128k -ac 2 -f mpegts -y "$work/sound.ts"

count() { # MODE: the instructions of one run
  qemu-mipsel -cpu 24Kf -plugin "$plugin,inline=on" -d plugin "$work/tsmerge_count" "$1" "$work/video.ts" \
    "$work/sound.ts" "$work/out" 2>&1 >/dev/null | awk '/^insns: / { n += $2 } END { if (n == 0) exit 1; print n }'
}

bytes=$(($(stat -c %s "$work/video.ts") + $(stat -c %s "$work/sound.ts")))
base=$(count none)
merge=$(count merge)
probed="$(ffprobe -v error -show_entries program_stream=codec_name -of csv=p=0 "$work/out" 2>&1)"
[ "$(echo "$probed" | grep -v '^$' | tr '\n' ' ')" = "h264 aac " ] ||
  { echo "tsmerge-mips-insns: the merged stream is not one program of picture and sound: $probed" >&2; exit 1; }
copy=$(count copy)
printf "%-16s %8s %14s %12s %9s %14s %8s\n" "per MB of input" "kB/s" "merge" "cat (copy)" "ratio" "per minute" "core"
awk -v b="$bytes" -v base="$base" -v mg="$merge" -v cp="$copy" -v s="$seconds" 'BEGIN {
  mb = b / 1048576; m = (mg - base) / mb; p = (cp - base) / mb
  perMinute = m * b / 1048576 / (s / 60)
  printf "%-16s %8.1f %14.0f %12.0f %8.1fx %14.0f %7.3f%%\n", "h264+aac", b / 1024 / s, m, p, m / p, perMinute,
    100 * perMinute / (400e6 * 60) }'
echo "(instructions under qemu-mipsel -cpu 24Kf per MB of picture and sound, start-up taken off; the"
echo " kernel's work in read and write is not counted on either side; per minute: the merge of a minute"
echo " of the stream; core: its share of a 400-MHz core at one instruction a cycle)"
