#!/usr/bin/env bash
# Instructions per megabyte of fragmented MP4 made transport stream on the
# receiver's processor (Fmp4ToTs with the writer, as the pipeline runs it),
# beside a plain `cat`-like copy of the same bytes (read and write of
# 128 KiB blocks), counted under qemu-mipsel by the instruction-counting
# plugin of Debian's qemu source, as scripts/tswriter-mips-insns.sh does for
# packed audio. The converter's files are built for MIPS32 release 1, -O2, as
# in the TAP. The start-up that both share (reading the init segment) is
# measured apart and taken off. The input is one 6-second segment of ffmpeg's
# test picture (H.264, 640x360) and 1 kHz tone (AAC) at each bit rate given
# (default 2M and 8M).
#   scripts/fmp4-mips-insns.sh [RATE...]
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(2M 8M)
plugin="$("$root/scripts/qemu-insn-plugin.sh")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mipsel-linux-gnu-g++ -std=gnu++20 -O2 -march=mips32 -fno-exceptions -fno-rtti -static -I"$root" \
  "$root/tests/bench/fmp4_count.cpp" "$root/app/TsWriter.cpp" "$root/app/TsSectionPayload.cpp" "$root/app/Fmp4ToTs.cpp" "$root/app/Mp4Adts.cpp" \
  "$root/app/Mp4AnnexB.cpp" "$root/app/Mp4Box.cpp" "$root/app/Mp4ReadInit.cpp" "$root/app/Mp4To90k.cpp" \
  -o "$work/fmp4_count"

count() { # MODE: the instructions of one run
  qemu-mipsel -cpu 24Kf -plugin "$plugin,inline=on" -d plugin "$work/fmp4_count" "$1" "$work/init.mp4" \
    "$work/seg0.m4s" "$work/out" 2>&1 >/dev/null | awk '/^insns: / { n += $2 } END { if (n == 0) exit 1; print n }'
}

printf "%-16s %8s %14s %12s %9s %14s %8s\n" "per MB of input" "kB/s" "convert" "cat (copy)" "ratio" "per minute" "core"
for rate in "${rates[@]}"; do
  rm -f "$work"/*.m4s "$work"/init.mp4
  (cd "$work" && ffmpeg -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25 \
    -f lavfi -i sine=frequency=1000:sample_rate=48000 -t 6 -c:v libx264 -preset ultrafast -g 50 \
    -b:v "$rate" -minrate "$rate" -maxrate "$rate" -bufsize 1M -x264-params nal-hrd=cbr -c:a aac -b:a 128k -ac 2 \
    -f hls -hls_time 6 -hls_segment_type fmp4 -hls_fmp4_init_filename init.mp4 -hls_segment_filename seg%d.m4s \
    -hls_playlist_type vod list.m3u8)
  bytes=$(stat -c %s "$work/seg0.m4s")
  base=$(count none)
  convert=$(count convert)
  probed="$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/out" 2>&1 | tr '\n' ' ')"
  [[ "$probed" == "h264 aac "* ]] ||
    { echo "fmp4-mips-insns: the converted segment is no stream ffprobe reads: $probed" >&2; exit 1; }
  copy=$(count copy)
  awk -v what="H.264+AAC $rate" -v b="$bytes" -v base="$base" -v cv="$convert" -v cp="$copy" 'BEGIN {
    mb = b / 1048576; c = (cv - base) / mb; p = (cp - base) / mb
    perMinute = c * b / 1048576 / 6 * 60
    printf "%-16s %8.1f %14.0f %12.0f %8.0fx %14.0f %7.3f%%\n", what, b / 1024 / 6, c, p, c / p, perMinute,
      100 * perMinute / (400e6 * 60) }'
done
echo "(instructions under qemu-mipsel -cpu 24Kf per MB of fMP4, start-up taken off; the kernel's work in"
echo " read and write is not counted on either side, and is nearly all of cat's; per minute: the conversion"
echo " of a minute of the stream; core: its share of a 400-MHz core at one instruction a cycle)"
