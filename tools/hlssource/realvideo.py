#!/usr/bin/env python3
"""Real video for the local HLS test source: H.264 + AAC transport-stream
segments made once by Debian's ffmpeg (a moving test picture with a burnt-in
frame counter and clock, and a 1 kHz tone), kept in a cache folder and served
in a loop.

Each variant is one encode cut into segments by ffmpeg's HLS muxer, padded to
a constant mux rate (the variant's bandwidth) with null packets as broadcast
streams are. Served in a loop, segment N is cached segment N % count; the
continuity counters are carried on across the loop so that the appended
segments read as one clean stream, while the timestamps start again, which
the playlist marks with #EXT-X-DISCONTINUITY.

    python3 tools/hlssource/realvideo.py --cache DIR   # make the cache, print its folder
"""

import argparse
import functools
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
TONE_HZ = 1000
FPS = 25
DEFAULT_VARIANTS = "320x180@4000000,640x360@8000000,1280x720@16000000"
DEFAULT_CACHE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "hlssource-cache")


def variant_list(text):
    variants = []
    for item in text.split(","):
        m = re.fullmatch(r"\s*(\d+)x(\d+)@(\d+)\s*", item)
        if not m:
            raise argparse.ArgumentTypeError("%r: expected WIDTHxHEIGHT@BITS_PER_SECOND, separated by commas" % text)
        w, h, rate = (int(g) for g in m.groups())
        if not (16 <= w <= 3840 and 16 <= h <= 2160 and w % 2 == 0 and h % 2 == 0):
            raise argparse.ArgumentTypeError("%r: sizes are even, from 16x16 to 3840x2160" % item)
        if not 200000 <= rate <= 100000000:
            raise argparse.ArgumentTypeError("%r: the rate is 200000 to 100000000 bits per second" % item)
        variants.append((w, h, rate))
    if not 1 <= len(variants) <= 8:
        raise argparse.ArgumentTypeError("one to eight variants")
    return variants


def add_arguments(parser):
    """The options of real video, for hlssource.py's parser."""
    parser.add_argument("--video", choices=("synthetic", "real"), default="synthetic",
                        help="synthetic: generated packets (default); real: H.264 + AAC made by ffmpeg")
    parser.add_argument("--real-variants", type=variant_list, default=variant_list(DEFAULT_VARIANTS),
                        metavar="WxH@BPS,...", help="real video: size and mux rate of each variant (default %s)" % DEFAULT_VARIANTS)
    parser.add_argument("--real-seconds", type=int, default=8, metavar="SECONDS",
                        help="real video: length of the loop (default 8)")
    parser.add_argument("--cache", default=DEFAULT_CACHE, metavar="DIR",
                        help="real video: folder that keeps the made segments (default build/hlssource-cache)")


def video_bitrate(w, h, rate):
    # The picture gets a share that leaves room for audio and padding.
    return max(150000, min(rate // 2, w * h * FPS // 12))


def encode(folder, w, h, rate, seconds, segment_seconds):
    """Makes one variant's segments seg_N.ts and list.m3u8 in `folder`."""
    # A folder of its own per maker, so that two at once never mix files. Not
    # named by the process id: makers in separate sandboxes share small ids.
    os.makedirs(os.path.dirname(folder) or ".", exist_ok=True)
    part = tempfile.mkdtemp(prefix=os.path.basename(folder) + ".part", dir=os.path.dirname(folder) or ".")
    size = max(12, h // 9)
    text = ("drawtext=fontfile=%s:text='%%{frame_num}   %%{pts\\:hms}':x=(w-tw)/2:y=h-th-%d:fontsize=%d:"
            "fontcolor=white:box=1:boxcolor=black@0.6:boxborderw=%d" % (FONT, size, size, max(2, size // 6)))
    command = [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
        "-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d,%s" % (w, h, FPS, text),
        "-f", "lavfi", "-i", "sine=frequency=%d:sample_rate=48000" % TONE_HZ,
        "-t", str(seconds), "-threads", "2",
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
        "-g", str(round(FPS * segment_seconds)), "-keyint_min", str(round(FPS * segment_seconds)), "-sc_threshold", "0",
        "-b:v", str(video_bitrate(w, h, rate)), "-maxrate", str(video_bitrate(w, h, rate)), "-bufsize", str(rate // 2),
        "-c:a", "aac", "-b:a", "96k", "-ac", "2",
        "-f", "hls", "-hls_time", str(segment_seconds), "-hls_list_size", "0",
        "-hls_segment_options", "muxrate=%d" % rate,
        "-hls_segment_filename", os.path.join(part, "seg_%d.ts"),
        os.path.join(part, "list.m3u8"),
    ]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        shutil.rmtree(part, ignore_errors=True)
        raise RuntimeError("ffmpeg could not make the %dx%d variant: %s" % (w, h, result.stderr.strip()[-400:]))
    try:
        os.rename(part, folder)
    except OSError:
        shutil.rmtree(part, ignore_errors=True)  # another maker was first
        if not os.path.exists(os.path.join(folder, "list.m3u8")):
            raise


def read_list(folder):
    """Durations of the segments in `folder`'s list.m3u8, in order."""
    durations = []
    with open(os.path.join(folder, "list.m3u8")) as f:
        for line in f:
            if line.startswith("#EXTINF:"):
                durations.append(float(line[8:].split(",")[0]))
    return durations


def make_cache(cache, variants, seconds, segment_seconds):
    """Makes (once) every variant; returns their folders in order."""
    folders = []
    for w, h, rate in variants:
        key = hashlib.sha256(repr((w, h, rate, seconds, segment_seconds, FPS, TONE_HZ, 1)).encode()).hexdigest()[:12]
        folder = os.path.join(os.path.abspath(cache), "%dx%d_%d_%s" % (w, h, rate, key))
        if not os.path.exists(os.path.join(folder, "list.m3u8")):
            encode(folder, w, h, rate, seconds, segment_seconds)
        folders.append(folder)
    return folders


def payload_counts(segment):
    """Packets that carry a payload, by PID (those advance a continuity counter)."""
    counts = {}
    for off in range(0, len(segment) - 187, 188):
        pid = ((segment[off + 1] & 0x1F) << 8) | segment[off + 2]
        if pid != 0x1FFF and segment[off + 3] & 0x10:
            counts[pid] = counts.get(pid, 0) + 1
    return counts


class RealVideo:
    """The looped segments of every variant, as hlssource.py serves them."""

    def __init__(self, args):
        self.variants = args.real_variants
        self.folders = make_cache(args.cache, self.variants, args.real_seconds, args.segment_seconds)
        self.durations = read_list(self.folders[0])
        self.count = len(self.durations)
        self.loop_cc = []
        for folder in self.folders:
            total = {}
            for i in range(self.count):
                for pid, n in payload_counts(self.raw(folder, i)).items():
                    total[pid] = total.get(pid, 0) + n
            self.loop_cc.append({pid: n % 16 for pid, n in total.items()})

    def bandwidths(self):
        return [rate for _, _, rate in self.variants]

    @staticmethod
    @functools.lru_cache(maxsize=64)
    def raw(folder, index):
        with open(os.path.join(folder, "seg_%d.ts" % index), "rb") as f:
            return f.read()

    def duration(self, number):
        return self.durations[number % self.count]

    def discontinuity(self, number):
        """True when segment `number` starts the loop again."""
        return number > 0 and number % self.count == 0

    def discontinuity_sequence(self, first):
        """Discontinuities before segment `first`."""
        return max(0, first - 1) // self.count

    @functools.lru_cache(maxsize=16)
    def segment(self, variant, number):
        data = self.raw(self.folders[variant], number % self.count)
        loops = number // self.count
        shift = {pid: (loops * n) % 16 for pid, n in self.loop_cc[variant].items() if (loops * n) % 16}
        if not shift:
            return data
        out = bytearray(data)
        for off in range(0, len(out) - 187, 188):
            pid = ((out[off + 1] & 0x1F) << 8) | out[off + 2]
            # Packets without payload repeat the counter: they move with it.
            if pid in shift:
                out[off + 3] = (out[off + 3] & 0xF0) | (((out[off + 3] & 0x0F) + shift[pid]) & 0x0F)
        return bytes(out)


def main(argv):
    parser = argparse.ArgumentParser(prog="realvideo.py", description="Make the real-video segments of the HLS test source once and print the folder of each variant.")
    add_arguments(parser)
    parser.add_argument("--segment-seconds", type=float, default=2.0, help="duration of a segment (default 2)")
    args = parser.parse_args(argv)
    try:
        for folder in make_cache(args.cache, args.real_variants, args.real_seconds, args.segment_seconds):
            print(folder)
    except (OSError, RuntimeError) as error:
        sys.stderr.write("realvideo.py: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
