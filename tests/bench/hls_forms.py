#!/usr/bin/env python3
"""Real-world stream forms, Orvado beside streamlink and ffmpeg in the same run.

  hls_forms.py [--seconds S] [CASE ...]

Each case is a source made here (by ffmpeg's HLS muxer, or the local test
source for what ffmpeg cannot make: tokens, a picky server, a long VOD). The
three clients take it at once for S seconds (default 45): Orvado in the
emulator (digit 1 after a second), `streamlink --stdout URL best`, and
`ffmpeg -i URL -map 0 -c copy -f mpegts`. The table gives, for each, what its
output holds (ffprobe's codecs and seconds, or whole test segments), and for
Orvado the seconds from the key to its player and the words it showed.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hls_bench  # noqa: E402  (the emulator, the test source and its segments)

SMALL = 188 * 1000  # the test source's segments where their count matters


def ffmpeg_source(folder, output, live=True, seconds=None):
    """ffmpeg's HLS muxer writing into `folder` (test picture and 1 kHz tone)."""
    args = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"]
    for source in ("testsrc2=size=320x180:rate=25", "sine=frequency=1000:sample_rate=48000"):
        args += (["-re"] if live else []) + ["-f", "lavfi", "-i", source]
    # A VOD is made whole first, and x265 is slower than the clock here.
    seconds = seconds or (120 if live else 20)
    args += ["-t", str(seconds), "-threads", "1", "-x265-params", "log-level=error"] + output
    proc = subprocess.Popen(args, cwd=folder)
    if not live:
        proc.wait()
    return proc


H264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25", "-sc_threshold", "0",
        "-c:a", "aac", "-b:a", "64k", "-ac", "2", "-f", "hls", "-hls_time", "1"]
TWO = ["-map", "0:v", "-map", "0:v", "-map", "1:a", "-map", "1:a", "-b:v:0", "800k", "-b:v:1", "300k",
       "-master_pl_name", "index.m3u8", "-var_stream_map", "v:0,a:0 v:1,a:1", "-hls_segment_filename", "v%v_%d.ts"]

# name: (what it is, how it is made)
CASES = {
    "hevc-above-h264": ("HEVC variant above an H.264 one (VOD)",
                        ("ffmpeg", TWO + H264 + ["-c:v:0", "libx265", "-tag:v:0", "hvc1", "-hls_playlist_type", "vod",
                                                 "v%v.m3u8"], False, "index.m3u8")),
    "hevc-only": ("HEVC only (VOD)",
                  ("ffmpeg", ["-map", "0:v", "-map", "1:a"] + H264 +
                   ["-c:v", "libx265", "-tag:v", "hvc1", "-hls_playlist_type", "vod", "-master_pl_name", "index.m3u8",
                    "-hls_segment_filename", "s_%d.ts", "list.m3u8"], False, "index.m3u8")),
    "short-window": ("1-second segments, a window of 3, 16 Mbit/s",
                     ("ffmpeg", ["-map", "0:v", "-map", "1:a"] + H264 +
                      ["-hls_list_size", "3", "-hls_segment_options", "muxrate=16000000", "-hls_segment_filename",
                       "s_%d.ts", "list.m3u8"], True, "list.m3u8")),
    "token": ("a token that the server takes 4 times", ("hlssource", ["--token-uses", "4"])),
    "user-agent": ("a server that refuses wget's User-Agent", ("hlssource", ["--refuse-agent", "Wget"])),
    "radio": ("audio-only TS at 128 kb/s",
              ("ffmpeg", ["-map", "1:a", "-c:a", "aac", "-b:a", "128k", "-f", "hls", "-hls_time", "2",
                          "-hls_segment_filename", "s_%d.ts", "list.m3u8"], True, "list.m3u8")),
    "vod-150": ("a VOD list of 150 segments", ("hlssource", ["--mode", "vod", "--segments", "150"])),
    "fmp4": ("fMP4 segments (H.264 and AAC)",
             ("ffmpeg", ["-map", "0:v", "-map", "1:a"] + H264 +
              ["-hls_segment_type", "fmp4", "-hls_segment_filename", "s_%d.m4s", "list.m3u8"], True, "list.m3u8")),
    "audio-rendition": ("sound only in a separate audio rendition",
                        ("ffmpeg", ["-map", "0:v", "-map", "1:a"] + H264 +
                         ["-master_pl_name", "index.m3u8", "-var_stream_map", "v:0,agroup:aud a:0,agroup:aud",
                          "-hls_segment_filename", "v%v_%d.ts", "v%v.m3u8"], True, "index.m3u8")),
    "packed-aac": ("packed audio: ADTS AAC behind ID3 timestamps", ("packed", [])),
}


def packager(folder):
    """Packed audio as radio stations serve it: each ADTS piece that ffmpeg's
    segment list names as done becomes seg_N.aac behind an ID3 tag with its
    timestamp, and the last five make list.m3u8. A process of its own."""
    pid = os.fork()
    if pid:
        return pid
    stamp, n, entries = 90000 * 10, 0, []
    for _ in range(3000):
        time.sleep(0.1)
        done = os.path.join(folder, "raw.m3u8")
        if not os.path.exists(done) or ("raw_%d.aac" % n) not in open(done).read():
            continue
        aac = open(os.path.join(folder, "raw_%d.aac" % n), "rb").read()
        frames, at = 0, 0
        while at + 7 <= len(aac) and aac[at] == 0xFF:
            frames, at = frames + 1, at + ((aac[at + 3] & 3) << 11 | aac[at + 4] << 3 | aac[at + 5] >> 5)
        owner = b"com.apple.streaming.transportStreamTimestamp\0"
        priv = b"PRIV" + (len(owner) + 8).to_bytes(4, "big") + b"\0\0" + owner + stamp.to_bytes(8, "big")
        size = len(priv)
        tag = b"ID3\4\0\0" + bytes([size >> 21 & 127, size >> 14 & 127, size >> 7 & 127, size & 127]) + priv
        with open(os.path.join(folder, "seg_%d.aac.part" % n), "wb") as f:
            f.write(tag + aac)
        os.rename(os.path.join(folder, "seg_%d.aac.part" % n), os.path.join(folder, "seg_%d.aac" % n))
        entries.append("#EXTINF:%.6f,\nseg_%d.aac\n" % (frames * 1024 / 48000, n))
        stamp += frames * 1024 * 90000 // 48000
        first = max(0, len(entries) - 5)
        text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:3\n#EXT-X-MEDIA-SEQUENCE:%d\n" % first
        with open(os.path.join(folder, "list.tmp"), "w") as f:
            f.write(text + "".join(entries[first:]))
        os.rename(os.path.join(folder, "list.tmp"), os.path.join(folder, "list.m3u8"))
        n += 1
    os._exit(0)


def start_source(kind, work):
    """The case's source: (URL of what the channel names, its processes)."""
    if kind[0] == "packed":
        kind = ("ffmpeg", ["-map", "1:a", "-c:a", "aac", "-b:a", "64k", "-ac", "2", "-f", "segment", "-segment_time",
                           "2", "-segment_format", "adts", "-segment_list", "raw.m3u8", "-segment_list_type", "m3u8",
                           "raw_%d.aac"], True, "list.m3u8")
    if kind[0] == "ffmpeg":
        _, output, live, playlist = kind
        folder = os.path.join(work, "source")
        os.makedirs(folder)
        maker = ffmpeg_source(folder, output, live)
        helper = packager(folder) if "raw.m3u8" in output else None
        for _ in range(600):
            if os.path.exists(os.path.join(folder, playlist)) and (
                    not live or open(os.path.join(folder, "list.m3u8" if "list" in playlist else "v0.m3u8"))
                    .read().count("#EXTINF") >= 3):
                break
            time.sleep(0.1)
        args = ["--serve-dir", folder]
    else:
        maker, playlist = None, "index.m3u8"
        args = ["--segment-bytes", str(SMALL)] + kind[1]
        if "--mode" not in args:
            args = ["--mode", "live", "--window", "6"] + args
    server = subprocess.Popen([sys.executable, os.path.join(hls_bench.ROOT, "tools", "hlssource", "hlssource.py")] +
                              args + ["--stop-after", "600"], stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline().strip()
    if not line.startswith("serving "):
        raise SystemExit("the test source did not start: %r" % line)
    if kind[0] != "ffmpeg":
        helper = None
    return line[len("serving "):] + playlist, [p for p in (maker, server) if p], helper


def probe(path):
    """What a client's output holds, in a few words."""
    if not os.path.exists(path) or os.path.getsize(path) == 0:
        return "nothing"
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,codec_type:format=duration",
                          "-of", "json", path], capture_output=True, text=True).stdout
    info = json.loads(out or "{}")
    codecs = [s.get("codec_name", "data") for s in info.get("streams", []) if s.get("codec_type") in ("video", "audio")]
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        # Only pieces that are a source segment byte for byte: a remuxer's
        # output (ffmpeg's) has a PAT at every few packets.
        segments = sum(1 for _, whole in hls_bench.find_segments(f.read(), SMALL) if whole) if not codecs else 0
    if segments:
        return "%d whole test segments" % segments
    if not codecs and "ffmpeg" in path:
        return "%.1f MB remuxed (test segments are not whole in it)" % (size / 1e6)
    seconds = float(info.get("format", {}).get("duration", 0) or 0)
    return "%s, %.0f s, %.1f MB" % ("+".join(codecs) or "no audio/video", seconds, size / 1e6)


def run_case(name, seconds):
    what, kind = CASES[name]
    work = tempfile.mkdtemp(prefix="orvado-forms-")
    url, sources, helper = start_source(kind, work)
    outputs = {"streamlink": os.path.join(work, "streamlink.ts"), "ffmpeg": os.path.join(work, "ffmpeg.ts")}
    disk = os.path.join(work, "hd")
    start = time.monotonic()
    procs = {
        "Orvado": hls_bench.emulator(disk, url.rsplit("/", 1)[0] + "/", "1s:1", "%ds" % seconds,
                                     url.rsplit("/", 1)[1]),
        "streamlink": subprocess.Popen(["streamlink", "--stdout", url, "best"], stdout=open(outputs["streamlink"], "wb"),
                                       stderr=subprocess.DEVNULL),
        "ffmpeg": subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-i", url, "-map", "0", "-c", "copy",
                                    "-t", str(seconds), "-f", "mpegts", outputs["ffmpeg"]], stderr=subprocess.DEVNULL),
    }
    console = []
    player_at = None
    for line in procs["Orvado"].stdout:
        console.append(line.rstrip())
        if player_at is None and "Appl_StartPlaybackMedia: playing" in line:
            player_at = time.monotonic() - start - 1
    for client in ("streamlink", "ffmpeg"):
        hls_bench.stop(procs[client])
    for p in sources:
        hls_bench.stop(p)
    if helper:
        os.kill(helper, 9)
        os.waitpid(helper, 0)
    words = sorted({m.group(1) for line in console for m in [re.search(r"Orvado: ([^:]+):", line)] if m})
    decoded = [line.split("Player: ", 1)[1] for line in console if "Player: Stream.ts: " in line and (
        "video" in line or "audio" in line or "does not decode" in line)][:2]
    orvado = probe(os.path.join(disk, "MediaFiles", "tmp", "Stream.ts"))
    orvado += "; player %s" % ("after %.0f s" % player_at if player_at is not None else "never started")
    if decoded:
        orvado += "; " + " / ".join(d.replace("Stream.ts: ", "") for d in decoded)
    if words:
        orvado += "; words: " + ", ".join(words)
    print("| %s | %s | %s | %s |" % (what, orvado, probe(outputs["streamlink"]), probe(outputs["ffmpeg"])), flush=True)
    if not os.environ.get("FORMS_KEEP"):
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=45)
    parser.add_argument("cases", nargs="*", help="of: " + ", ".join(CASES))
    args = parser.parse_args()
    for name in args.cases:
        if name not in CASES:
            parser.error("no case %s; the cases are %s" % (name, ", ".join(CASES)))
    print("| case | Orvado | streamlink | ffmpeg |\n|---|---|---|---|")
    for name in args.cases or list(CASES):
        run_case(name, args.seconds)


if __name__ == "__main__":
    main()
