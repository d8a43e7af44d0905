#!/usr/bin/env bash
# Makes the seed inputs of the mp4 fuzz target with Debian's ffmpeg: for each
# form, the init segment and the first media segment of a tiny fMP4 HLS
# stream, joined as the target reads them (the init's length in 4 bytes,
# big-endian, then the init, then the segment).
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/corpus/mp4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
make() {  # name, then ffmpeg's maps and codecs
  local name="$1"; shift
  (cd "$work" && rm -f ./* &&
   ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=64x36:rate=10 \
     -f lavfi -i sine=frequency=1000:sample_rate=48000 -t 1 "$@" \
     -f hls -hls_time 0.5 -hls_segment_type fmp4 -hls_playlist_type vod list.m3u8)
  python3 - "$work/init.mp4" "$work/list0.m4s" "$out/$name" <<'PY'
import struct, sys
init = open(sys.argv[1], 'rb').read()
segment = open(sys.argv[2], 'rb').read()
open(sys.argv[3], 'wb').write(struct.pack('>I', len(init)) + init + segment)
PY
}
make h264_aac -map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 5 -c:a aac -b:a 32k -ac 1
make h264_bframes_mp3 -map 0:v -map 1:a -c:v libx264 -preset medium -bf 2 -g 5 -c:a libmp3lame -b:a 32k -ac 1
make aac_only -map 1:a -c:a aac -b:a 32k -ac 2
make h264_ac3 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 5 -c:a ac3 -b:a 64k -ac 1
make hevc_aac -map 0:v -map 1:a -c:v libx265 -preset ultrafast -x265-params log-level=none -g 5 -c:a aac -b:a 32k -ac 1
