#!/usr/bin/env bash
# Instructions per megabyte of packed audio made transport stream on the
# receiver's processor (PackedAudioToTs with the writer, as ChunkToTs runs
# it), beside a plain `cat`-like copy of the same bytes (read and write of
# 128 KiB blocks, as the pipeline's "cat >>" append does), counted under
# qemu-mipsel by the instruction-counting plugin of Debian's qemu source
# (tests/plugin/insn.c), as scripts/fonts-mips-insns.sh does. The converter's
# files are built for MIPS32 release 1, -O2, as in the TAP (they do no floating
# point, so the float ABI does not matter here).
# The start-up that both share is measured apart and taken off. The input
# is ffmpeg's 1 kHz tone as AAC (ADTS) and as MPEG layer II, MINUTES minutes
# of each (default 2), behind an ID3 timestamp tag.
#   scripts/tswriter-mips-insns.sh [MINUTES]
# The qemu source is fetched once into ORVADO_SOURCE_CACHE (default
# /var/cache/orvado/src), outside the repository.
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
minutes="${1:-2}"
plugin="$("$root/scripts/qemu-insn-plugin.sh")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mipsel-linux-gnu-g++ -std=gnu++20 -O2 -march=mips32 -fno-exceptions -fno-rtti -static -I"$root" \
  "$root/tests/bench/tswriter_count.cpp" "$root/app/TsWriter.cpp" "$root/app/TsSectionPayload.cpp" "$root/app/PackedAudioToTs.cpp" \
  "$root/app/AudioFrameAt.cpp" "$root/app/Id3TagLength.cpp" -o "$work/tswriter_count"

# An ID3v2.4 tag with a PRIV transport stream timestamp of 10 s.
python3 - "$work/tag" <<'PY'
import struct, sys
def syncsafe(n): return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])
body = b"com.apple.streaming.transportStreamTimestamp\0" + struct.pack(">Q", 900000)
frame = b"PRIV" + syncsafe(len(body)) + b"\0\0" + body
open(sys.argv[1], "wb").write(b"ID3\x04\x00\x00" + syncsafe(len(frame)) + frame)
PY

count() { # MODE IN: the instructions of one run
  qemu-mipsel -cpu 24Kf -plugin "$plugin,inline=on" -d plugin "$work/tswriter_count" "$1" "$2" "$work/out" \
    2>&1 >/dev/null | awk '/^insns: / { n += $2 } END { if (n == 0) exit 1; print n }'
}

printf "%-16s %8s %14s %12s %9s %14s %8s\n" "per MB of input" "kB/s" "convert" "cat (copy)" "ratio" "per minute" "core"
for form in "aac adts 128k" "mp2 mp2 192k"; do
  read -r codec format rate <<<"$form"
  ffmpeg -loglevel error -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=$((minutes * 60))" \
    -c:a "$codec" -b:a "$rate" -ac 2 -f "$format" -y "$work/raw"
  cat "$work/tag" "$work/raw" >"$work/in"
  bytes=$(stat -c %s "$work/in")
  base=$(count none "$work/in")
  convert=$(count convert "$work/in")
  probed="$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/out" 2>&1)"
  [ "${probed%%$'\n'*}" = "$codec" ] ||
    { echo "tswriter-mips-insns: the converted $format is no stream ffprobe reads: $probed" >&2; exit 1; }
  copy=$(count copy "$work/in")
  awk -v what="$format $rate" -v b="$bytes" -v base="$base" -v cv="$convert" -v cp="$copy" -v m="$minutes" 'BEGIN {
    mb = b / 1048576; c = (cv - base) / mb; p = (cp - base) / mb
    perMinute = c * b / 1048576 / m
    printf "%-16s %8.1f %14.0f %12.0f %8.0fx %14.0f %7.3f%%\n", what, b / 1024 / (m * 60), c, p, c / p, perMinute,
      100 * perMinute / (400e6 * 60) }'
done
echo "(instructions under qemu-mipsel -cpu 24Kf per MB of packed audio, start-up taken off; the kernel's"
echo " work in read and write is not counted on either side, and is nearly all of cat's; per minute: the"
echo " conversion of a minute of the station; core: its share of a 400-MHz core at one instruction a cycle)"
