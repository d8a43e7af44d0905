#!/usr/bin/env python3
"""Local HLS test source: a real HTTP server on 127.0.0.1 that serves a master
playlist, one media playlist per variant and generated MPEG transport stream
segments, in VOD or live (sliding window) mode, with faults on demand.

Run with --help for the options; tools/hlssource/README.md has examples.
"""

import argparse
import fnmatch
import functools
import gzip
import os
import ssl
import subprocess
import hashlib
import http.server
import math
import re
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse

import realvideo

PACKET = 188
PAT_PID = 0x0000
PMT_PID = 0x1000
ES_PID = 0x0100
# The payload is a synthetic pattern, not coded video, so it is announced as
# private data rather than as a codec a player would try to decode.
STREAM_TYPE = 0x06
STREAM_ID = 0xBD
# Transport packets per PES packet; keeps PES_packet_length far below 65535
# and puts a PCR into the stream every few kilobytes.
PES_SPAN = 32
CLOCK = 90000
PTS_DELAY = 9000


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else (crc << 1)
            crc &= 0xFFFFFFFF
    return crc


def section_packet(pid, cc, section):
    section += struct.pack(">I", crc32_mpeg(section))
    # pointer_field 0: the section starts right after it.
    payload = b"\x00" + section
    header = struct.pack(">BHB", 0x47, 0x4000 | pid, 0x10 | (cc & 0x0F))
    return header + payload + b"\xff" * (PACKET - 4 - len(payload))


def pat_packet(cc):
    body = struct.pack(">HBBB", 1, 0xC1, 0, 0) + struct.pack(">HH", 1, 0xE000 | PMT_PID)
    return section_packet(PAT_PID, cc, struct.pack(">BH", 0x00, 0xB000 | (len(body) + 4)) + body)


def pmt_packet(cc):
    body = (struct.pack(">HBBB", 1, 0xC1, 0, 0) + struct.pack(">HH", 0xE000 | ES_PID, 0xF000)
            + struct.pack(">BHH", STREAM_TYPE, 0xE000 | ES_PID, 0xF000))
    return section_packet(PMT_PID, cc, struct.pack(">BH", 0x02, 0xB000 | (len(body) + 4)) + body)


def pcr_bytes(base):
    base &= (1 << 33) - 1
    return struct.pack(">IH", base >> 1, ((base & 1) << 15) | 0x7E00)


def pts_bytes(pts):
    pts &= (1 << 33) - 1
    return bytes([0x21 | ((pts >> 29) & 0x0E), (pts >> 22) & 0xFF, ((pts >> 14) & 0xFE) | 1,
                  (pts >> 7) & 0xFF, ((pts << 1) & 0xFE) | 1])


def packet_count(segment_bytes):
    return max(3, round(segment_bytes / PACKET))


def pattern(number, length):
    block = b""
    seed = b"hlssource segment %d" % number
    while len(block) < 4096:
        seed = hashlib.sha256(seed).digest()
        block += seed
    return (block * (length // len(block) + 1))[:length]


@functools.lru_cache(maxsize=16)
def build_segment(number, segment_bytes, segment_seconds):
    """The segment's bytes: PAT, PMT, then PES packets, all from `number`.

    Every segment has the same packet count, so the continuity counters are
    derived from the number and run on across segments appended in order.
    """
    total = packet_count(segment_bytes)
    es_packets = total - 2
    out = bytearray()
    out += pat_packet(number)
    out += pmt_packet(number)
    cc = number * es_packets
    start = int(number * segment_seconds * CLOCK)
    fill = pattern(number, 184 * PES_SPAN)
    done = 0
    while done < es_packets:
        span = min(PES_SPAN, es_packets - done)
        pcr = start + int(segment_seconds * CLOCK * done / es_packets)
        # The first packet carries the PCR in an 8-byte adaptation field; the
        # PES packet fills the rest of its packets exactly, so no stuffing.
        capacity = 176 + 184 * (span - 1)
        header = b"\x00\x00\x01" + bytes([STREAM_ID]) + struct.pack(">H", capacity - 6) + b"\x80\x80\x05" + pts_bytes(pcr + PTS_DELAY)
        pes = header + fill[:capacity - len(header)]
        for i in range(span):
            first = i == 0
            pusi = 0x4000 if first else 0
            if first:
                out += struct.pack(">BHB", 0x47, pusi | ES_PID, 0x30 | (cc & 0x0F))
                out += b"\x07\x10" + pcr_bytes(pcr)
                out += pes[:176]
            else:
                off = 176 + 184 * (i - 1)
                out += struct.pack(">BHB", 0x47, ES_PID, 0x10 | (cc & 0x0F))
                out += pes[off:off + 184]
            cc += 1
        done += span
    return bytes(out)


FAULT_KINDS = ("fail", "truncate", "slow", "hang", "html", "quote")
# Events that change the stream itself rather than one answer.
STREAM_EVENTS = ("advance", "jump", "restart", "stale")


class Faults:
    """Faults by target: ("segment", number) or ("playlist", name).

    A fault is a dict with one kind and "times" (requests left, None for
    ever). The kinds: "fail" (HTTP status), "truncate" (bytes of a segment
    sent before the connection is closed), "slow" (seconds to spread a
    segment over), "hang" (seconds to stop answering halfway through),
    "html" (an HTML page with status 200 instead of the segment) and "quote"
    (the segment's playlist line gets a ' in its name; it is never requested,
    so it does not count down).
    """

    def __init__(self):
        self.lock = threading.Lock()
        self.by_target = {}

    def set(self, target, fault):
        with self.lock:
            self.by_target[target] = fault

    def clear(self, target=None):
        with self.lock:
            if target is None:
                self.by_target.clear()
            else:
                self.by_target.pop(target, None)

    def take(self, target):
        with self.lock:
            fault = self.by_target.get(target)
            if fault is None:
                return None
            if fault["times"] is not None:
                fault["times"] -= 1
                if fault["times"] <= 0:
                    del self.by_target[target]
            return dict(fault)

    def take_matching(self, kind, name):
        """Like take, for the first target of `kind` whose key is a shell
        pattern (such as v0_*.ts) that `name` matches."""
        with self.lock:
            keys = [k for k in self.by_target if k[0] == kind and fnmatch.fnmatchcase(name, str(k[1]))]
        return self.take(keys[0]) if keys else None

    def peek(self, target):
        with self.lock:
            fault = self.by_target.get(target)
            return None if fault is None else dict(fault)

    def describe(self):
        with self.lock:
            lines = []
            for (kind, key), fault in sorted(self.by_target.items(), key=lambda item: (item[0][0], str(item[0][1]))):
                what = " ".join("%s=%s" % (k, fault[k]) for k in FAULT_KINDS if k in fault)
                times = "" if fault["times"] is None else " times=%d" % fault["times"]
                lines.append("%s=%s %s%s" % (kind, key, what, times))
            return "".join(line + "\n" for line in lines) or "no faults\n"


class FaultError(ValueError):
    pass


def parse_fault(params, playlists):
    """One fault from control parameters (a dict of str to str).

    Returns (target, fault) with fault None for a clear request.
    """
    if "segment" in params and "playlist" in params:
        raise FaultError("give either segment= or playlist=, not both")
    if "segment" in params:
        try:
            number = int(params["segment"])
        except ValueError:
            raise FaultError("segment= needs a segment number, not %r" % params["segment"])
        if number < 0:
            raise FaultError("segment= needs a number of 0 or more")
        target = ("segment", number)
    elif "playlist" in params:
        name = params["playlist"].lstrip("/")
        if name not in playlists:
            raise FaultError("no playlist named %r (there are %s)" % (name, ", ".join(sorted(playlists))))
        target = ("playlist", name)
    else:
        raise FaultError("say which segment= or playlist= the fault is for")
    if "clear" in params:
        return target, None
    kinds = [k for k in FAULT_KINDS if k in params]
    if len(kinds) != 1:
        raise FaultError("give exactly one of %s (or clear=1)" % ", ".join(k + "=" for k in FAULT_KINDS))
    kind = kinds[0]
    fault = {"times": None}
    try:
        if kind in ("slow", "hang"):
            fault[kind] = float(params[kind])
            if not 0 < fault[kind] <= 3600:
                raise ValueError
        else:
            fault[kind] = int(params[kind])
    except ValueError:
        raise FaultError("bad value %r for %s=" % (params[kind], kind))
    if kind == "fail" and not 400 <= fault["fail"] <= 599:
        raise FaultError("fail= needs an HTTP error status from 400 to 599")
    if kind == "truncate" and fault["truncate"] < 0:
        raise FaultError("truncate= needs a byte count of 0 or more")
    if kind in ("html", "quote") and fault[kind] != 1:
        raise FaultError("%s= takes 1" % kind)
    if kind in ("truncate", "slow", "html", "quote") and target[0] != "segment":
        raise FaultError("%s= applies to segments only" % kind)
    if "times" in params:
        try:
            fault["times"] = int(params["times"])
        except ValueError:
            fault["times"] = 0
        if fault["times"] < 1:
            raise FaultError("times= needs a count of 1 or more")
    return target, fault


class Layout:
    """Where playlists and segments live and how the playlists name them.

    flat: /index.m3u8 lists vK.m3u8, which lists vK_N.ts, all at the top.
    folders: /index.m3u8 lists gearJ/prog_index.m3u8 (J = K + 1), which lists
      fileSequenceN.ts, as HLS authoring tools write it.
    root: ./live/vK/index.m3u8 lists /media/vK/segN.ts (root-relative).
    parent: play/vK/list.m3u8 lists ../media/vK_N.ts (/play/media/vK_N.ts).
    query: vK.m3u8?session=... lists vK_N.ts?token=a/b&n=N; a segment asked
      for without its token answers 403.
    hosts: as flat, but the last variant is given by absolute URL on the
      second address 127.0.0.2 (/far/vK.m3u8 listing vK_N.ts); /far/ answers
      only there.
    """

    NAMES = ("flat", "folders", "root", "parent", "query", "hosts")
    SECOND_HOST = "127.0.0.2"

    def __init__(self, name, variants):
        self.name = name
        self.variants = variants
        self.port = 0

    def far(self, variant):
        return self.name == "hosts" and variant == self.variants - 1

    def media_path(self, variant):
        """Path of a media playlist, without its leading slash."""
        if self.name == "folders":
            return "gear%d/prog_index.m3u8" % (variant + 1)
        if self.name == "root":
            return "live/v%d/index.m3u8" % variant
        if self.name == "parent":
            return "play/v%d/list.m3u8" % variant
        if self.far(variant):
            return "far/v%d.m3u8" % variant
        return "v%d.m3u8" % variant

    def variant_line(self, variant):
        if self.far(variant):
            return "http://%s:%d/%s" % (self.SECOND_HOST, self.port, self.media_path(variant))
        if self.name == "root":
            return "./" + self.media_path(variant)
        if self.name == "query":
            return "v%d.m3u8?session=ab/cd&v=%d" % (variant, variant)
        return self.media_path(variant)

    def segment_line(self, variant, number, quote=False):
        mark = "'" if quote else ""
        if self.name == "folders":
            return "fileSequence%d%s.ts" % (number, mark)
        if self.name == "root":
            return "/media/v%d/seg%d%s.ts" % (variant, number, mark)
        if self.name == "parent":
            return "../media/v%d_%d%s.ts" % (variant, number, mark)
        if self.name == "query":
            return "v%d_%d%s.ts?token=x/y%%2Fz&n=%d" % (variant, number, mark, number)
        return "v%d_%d%s.ts" % (variant, number, mark)

    SEGMENT = {
        "folders": re.compile(r"gear(\d+)/fileSequence(\d+)\.ts"),
        "root": re.compile(r"media/v(\d+)/seg(\d+)\.ts"),
        "parent": re.compile(r"play/media/v(\d+)_(\d+)\.ts"),
        "hosts": re.compile(r"(?:far/)?v(\d+)_(\d+)\.ts"),
    }

    def route(self, path, query, host):
        """("playlist", name), ("segment", variant, number), ("forbidden",) or None."""
        name = path.lstrip("/")
        if name == "index.m3u8":
            return ("playlist", name)
        for variant in range(self.variants):
            if name == self.media_path(variant):
                if self.far(variant) != (host == self.SECOND_HOST):
                    return None
                return ("playlist", name)
        match = self.SEGMENT.get(self.name, re.compile(r"v(\d+)_(\d+)\.ts")).fullmatch(name)
        if not match:
            return None
        variant, number = int(match.group(1)), int(match.group(2))
        if self.name == "folders":
            variant -= 1
        if not 0 <= variant < self.variants:
            return None
        if self.name == "hosts" and (name.startswith("far/") != self.far(variant) or self.far(variant) != (host == self.SECOND_HOST)):
            return None
        if self.name == "query" and "token" not in urllib.parse.parse_qs(query):
            return ("forbidden",)
        return ("segment", variant, number)


class Source:
    """What is served: playlists and segments, by mode, clock and faults.

    Segments carry a content number that only grows; the number in their
    names starts again at 0 after a restart (names = content - restart).
    """

    def __init__(self, args):
        self.mode = args.mode
        self.bandwidths = args.bandwidths
        self.segments = args.segments
        self.window = args.window
        self.seconds = args.segment_seconds
        self.segment_bytes = args.segment_bytes
        self.manual = args.clock == "manual"
        self.started = time.monotonic()
        self.faults = Faults()
        self.real = realvideo.RealVideo(args) if args.video == "real" else None
        if self.real:
            self.bandwidths = self.real.bandwidths()
        self.layout = Layout(args.layout, len(self.bandwidths))
        self.playlists = {"index.m3u8"} | {self.layout.media_path(i) for i in range(len(self.bandwidths))}
        self.lock = threading.Lock()
        self.advanced = 0     # manual clock: segments added by /control?advance
        self.jumped = 0       # segments skipped by /control?jump
        self.restart = 0      # content number of name 0
        self.restarts = 0     # EXT-X-DISCONTINUITY-SEQUENCE
        self.paused = 0.0     # wall-clock seconds the stream stood still
        self.stale_from = None
        self.stale_until = None
        self.byterange = args.byterange
        self.gzip = args.gzip
        self.refuse_agent = args.refuse_agent
        # --token-uses N: each master playlist hands out a new token in its
        # variants' URLs, good for N fetches of a media playlist.
        self.token_uses = args.token_uses
        self.tokens = {}      # token: media playlist fetches left
        self.key = bytes.fromhex(args.aes_key) if args.aes_key else None
        self.key_iv = args.key_iv
        self.audio_apart = args.audio_apart
        self.encrypted = {}
        if self.key:
            self.playlists.add("key.bin")

    def steps(self):
        if self.manual:
            return self.advanced
        now = time.monotonic()
        if self.stale_until is not None and now >= self.stale_until:
            self.paused += self.stale_until - self.stale_from
            self.stale_from = self.stale_until = None
        until = now if self.stale_from is None else self.stale_from
        return int((until - self.started - self.paused) / self.seconds)

    def newest(self):
        """Content number of the newest segment made."""
        if self.mode == "vod":
            return self.segments - 1
        # The window is full from the start, then one segment is added every
        # segment_seconds (or every advance), unless the stream stands still.
        with self.lock:
            return self.window - 1 + self.steps() + self.jumped

    def event(self, kind, value):
        """A stream event from /control; returns what it did."""
        newest = self.newest()
        with self.lock:
            if kind == "advance":
                self.advanced += value
            elif kind == "jump":
                self.jumped += value
            elif kind == "restart":
                # Names start again at 0 with the next segment, which appears now.
                self.restart = newest + 1
                self.restarts += 1
                self.jumped += 1
            elif kind == "stale":
                if self.stale_from is None:
                    self.stale_from = time.monotonic()
                    self.stale_until = self.stale_from
                self.stale_until += value
        return "newest segment %d (named %d)\n" % (self.newest(), self.newest() - self.restart)

    def available(self, content):
        return self.restart <= content <= self.newest()

    def master(self):
        lines = ["#EXTM3U", "#EXT-X-VERSION:3"]
        # --audio-apart N: the N variants of the highest bandwidth carry
        # video only, their sound in a rendition of its own.
        apart = set(sorted(range(len(self.bandwidths)), key=lambda i: -self.bandwidths[i])[:self.audio_apart])
        if apart:
            lines.append('#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID="aud",NAME="English",DEFAULT=YES,URI="audio.m3u8"')
        for i, bandwidth in enumerate(self.bandwidths):
            if i in apart:
                lines.append('#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=%d,CODECS="avc1.4d401f,mp4a.40.2",AUDIO="aud"'
                             % bandwidth)
            else:
                lines.append("#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=%d" % bandwidth)
            line = self.layout.variant_line(i)
            if self.token_uses:
                line += ("&" if "?" in line else "?") + "token=t%d" % len(self.tokens)
            lines.append(line)
        if self.token_uses:
            self.tokens["t%d" % len(self.tokens)] = self.token_uses
        return "".join(line + "\n" for line in lines)

    def token_good(self, query):
        """With --token-uses: takes one use of the query's token; False when it
        has none left (or there is none)."""
        if not self.token_uses:
            return True
        token = urllib.parse.parse_qs(query).get("token", [""])[0]
        if self.tokens.get(token, 0) <= 0:
            return False
        self.tokens[token] -= 1
        return True

    def media(self, variant):
        newest = self.newest()
        first = 0 if self.mode == "vod" else max(newest - self.window + 1, self.restart)
        lines = ["#EXTM3U", "#EXT-X-VERSION:3",
                 "#EXT-X-TARGETDURATION:%d" % math.ceil(self.seconds),
                 "#EXT-X-MEDIA-SEQUENCE:%d" % (first - self.restart)]
        if self.real:
            lines.append("#EXT-X-DISCONTINUITY-SEQUENCE:%d" % (self.real.discontinuity_sequence(first) + self.restarts))
        elif self.restarts:
            lines.append("#EXT-X-DISCONTINUITY-SEQUENCE:%d" % (self.restarts - 1))
        if self.mode == "vod":
            lines.append("#EXT-X-PLAYLIST-TYPE:VOD")
        if self.key:
            lines.append('#EXT-X-KEY:METHOD=AES-128,URI="key.bin"' + (",IV=0x%032x" % self.key_iv if self.key_iv is not None else ""))
        for content in range(first, newest + 1):
            number = content - self.restart
            if (self.restarts and content == self.restart) or (self.real and self.real.discontinuity(content)):
                lines.append("#EXT-X-DISCONTINUITY")
            fault = self.faults.peek(("segment", number))
            lines.append("#EXTINF:%.3f," % (self.real.duration(content) if self.real else self.seconds))
            if self.byterange:
                # One growing file per variant: segment N is its N-th piece.
                size = len(self.served(content, number, variant))
                lines.append("#EXT-X-BYTERANGE:%d@%d" % (size, number * size))
                lines.append("v%d.ts" % variant)
                continue
            lines.append(self.layout.segment_line(variant, number, quote=bool(fault and "quote" in fault)))
        if self.mode == "vod":
            lines.append("#EXT-X-ENDLIST")
        return "".join(line + "\n" for line in lines)

    def segment(self, content, variant=0):
        if self.real:
            return self.real.segment(variant, content)
        return build_segment(content, self.segment_bytes, self.seconds)

    def served(self, content, number, variant=0):
        """The bytes of a segment as served: AES-128-CBC encrypted with
        --aes-key (IV from --key-iv, else the sequence number), by openssl."""
        plain = self.segment(content, variant)
        if not self.key:
            return plain
        iv = self.key_iv if self.key_iv is not None else number
        cached = self.encrypted.get((content, variant))
        if cached is None:
            cached = subprocess.run(["openssl", "enc", "-aes-128-cbc", "-K", self.key.hex(), "-iv", "%032x" % iv],
                                    input=plain, stdout=subprocess.PIPE, check=True).stdout
            self.encrypted[(content, variant)] = cached
        return cached


HTML_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Service unavailable</title></head>\n"
             b"<body><h1>Please try again later</h1><p>" + b"The stream is resting. " * 40 + b"</p></body></html>\n")


class AnyFile:
    """--serve-dir: every name can carry a fault, the files come and go."""

    def __contains__(self, name):
        return bool(name) and ".." not in name.split("/")

    def __iter__(self):
        return iter(("any file of the folder",))


class StaticSource:
    """--serve-dir: the files of a folder as they stand at each request, such
    as ffmpeg's HLS muxer writes them while it runs. Playlists are read anew
    every time, segments are sent whole or by Range."""

    def __init__(self, args):
        self.folder = os.path.abspath(args.serve_dir)
        if not os.path.isdir(self.folder):
            raise OSError(2, "no folder %s" % args.serve_dir)
        self.mode = "static"
        self.faults = Faults()
        self.playlists = AnyFile()
        self.gzip = args.gzip
        self.refuse_agent = args.refuse_agent
        self.layout = Layout("flat", 1)

    def path(self, name):
        """The file for request path `name`, or None."""
        if name not in self.playlists:
            return None
        path = os.path.join(self.folder, name)
        return path if os.path.isfile(path) else None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "hlssource/1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("hlssource: %s %s\n" % (self.address_string(), fmt % args))

    def do_HEAD(self):
        self.respond(head=True)

    def do_GET(self):
        self.respond(head=False)

    def respond(self, head):
        source = self.server.source
        url = urllib.parse.urlsplit(self.path)
        name = url.path.lstrip("/")
        if name == "control":
            return self.control(url.query, head)
        if name == "raw":
            return self.raw(url.query, head)
        # Some servers serve players only, by the User-Agent they send.
        if source.refuse_agent and source.refuse_agent in self.headers.get("User-Agent", ""):
            return self.send_text(403, "this client is not served\n", head)
        if isinstance(source, StaticSource):
            return self.static(source, name, head)
        if name == "key.bin" and source.key:
            fault = source.faults.take(("playlist", "key.bin"))
            if fault and "fail" in fault:
                return self.send_text(fault["fail"], "fault: key answers %d\n" % fault["fail"], head)
            return self.send_body(source.key, "application/octet-stream", head, None)
        if name == "audio.m3u8" and source.audio_apart:
            return self.send_body(b"#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-ENDLIST\n", "audio/mpegurl", head, None)
        match = re.fullmatch(r"v(\d+)\.ts", name)
        if source.byterange and match:
            return self.ranged(source, int(match.group(1)), head)
        where = source.layout.route(url.path, url.query, self.connection.getsockname()[0])
        if where is None:
            return self.send_text(404, "not found: /%s\n" % name, head)
        if where[0] == "forbidden":
            return self.send_text(403, "forbidden: /%s needs its token\n" % name, head)
        if where[0] == "playlist":
            name = where[1]
            fault = source.faults.take(("playlist", name))
            if fault and "fail" in fault:
                return self.send_text(fault["fail"], "fault: playlist %s answers %d\n" % (name, fault["fail"]), head)
            if name == "index.m3u8":
                text = source.master()
            elif not source.token_good(url.query):
                return self.send_text(403, "forbidden: the token of /%s has expired\n" % name, head)
            else:
                text = source.media([source.layout.media_path(i) for i in range(len(source.bandwidths))].index(name))
            if source.gzip:
                # Compressed although nobody asked for it, as some origins do.
                return self.send_body(gzip.compress(text.encode()), "audio/mpegurl", head, fault, encoding="gzip")
            return self.send_body(text.encode(), "audio/mpegurl", head, fault)
        number = where[2]
        content = number + source.restart
        if not source.available(content):
            return self.send_text(404, "not found: /%s\n" % name, head)
        fault = source.faults.take(("segment", number))
        if fault and "fail" in fault:
            return self.send_text(fault["fail"], "fault: segment %d answers %d\n" % (number, fault["fail"]), head)
        if fault and "html" in fault:
            return self.send_body(HTML_PAGE, "text/html; charset=utf-8", head, None)
        self.send_body(source.served(content, number, where[1]), "video/mp2t", head, fault)

    def static(self, source, name, head):
        path = source.path(name)
        fault = source.faults.take(("playlist", name)) or source.faults.take_matching("playlist", name)
        if fault and "fail" in fault:
            return self.send_text(fault["fail"], "fault: %s answers %d\n" % (name, fault["fail"]), head)
        if path is None:
            return self.send_text(404, "not found: /%s\n" % name, head)
        try:
            with open(path, "rb") as f:
                body = f.read()
        except OSError:
            return self.send_text(404, "not found: /%s\n" % name, head)
        if name.endswith(".m3u8"):
            if source.gzip:
                return self.send_body(gzip.compress(body), "audio/mpegurl", head, fault, encoding="gzip")
            return self.send_body(body, "audio/mpegurl", head, fault)
        kind = "video/mp2t" if name.endswith(".ts") else "application/octet-stream"
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if not match:
            return self.send_body(body, kind, head, fault)
        start, end = int(match.group(1)), int(match.group(2) or len(body) - 1)
        if start >= len(body) or end < start:
            return self.send_text(416, "range not satisfiable\n", head)
        end = min(end, len(body) - 1)
        self.send_response(206)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body[start:end + 1])

    def ranged(self, source, variant, head):
        """--byterange: /vK.ts is every segment made so far, one after the
        other; a Range request gets its piece (206)."""
        size = len(source.served(source.restart, 0, variant))
        newest = source.newest()
        total = (newest - source.restart + 1) * size
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        start, end = (int(match.group(1)), int(match.group(2) or total - 1)) if match else (0, total - 1)
        if start >= total or end < start:
            return self.send_text(416, "range not satisfiable\n", head)
        end = min(end, total - 1)
        first, last = start // size, end // size
        fault = source.faults.take(("segment", first))
        if fault and "fail" in fault:
            return self.send_text(fault["fail"], "fault: segment %d answers %d\n" % (first, fault["fail"]), head)
        body = b"".join(source.served(n + source.restart, n, variant) for n in range(first, last + 1))
        body = body[start - first * size:end - first * size + 1]
        self.send_response(206 if match else 200)
        self.send_header("Content-Type", "video/mp2t")
        self.send_header("Content-Length", str(len(body)))
        if match:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, total))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def send_body(self, body, content_type, head, fault, encoding=None):
        """Status 200 with `body`, whole or damaged as `fault` says; chunked
        (no Content-Length) when the server was started with --chunked."""
        chunked = self.server.chunked
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        if encoding:
            self.send_header("Content-Encoding", encoding)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body)))
        if fault and ("truncate" in fault or "hang" in fault):
            self.send_header("Connection", "close")
        self.end_headers()
        if head:
            return

        def write(data):
            if chunked:
                self.wfile.write(b"%x\r\n" % len(data) + data + b"\r\n")
            else:
                self.wfile.write(data)

        if fault and ("truncate" in fault or "hang" in fault):
            # Promise the whole body, send a part, then drop the connection
            # (a server that dies mid-transfer) or fall silent with it open.
            part = body[:fault["truncate"]] if "truncate" in fault else body[:len(body) // 2]
            if chunked:
                self.wfile.write(b"%x\r\n" % len(body) + part)
            else:
                self.wfile.write(part)
            self.wfile.flush()
            if "hang" in fault:
                self.server.stopping.wait(fault["hang"])
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if fault and "slow" in fault:
            pieces = 20
            step = (len(body) + pieces - 1) // pieces
            for off in range(0, len(body), step):
                write(body[off:off + step])
                self.wfile.flush()
                time.sleep(fault["slow"] / pieces)
        else:
            write(body)
        if chunked:
            self.wfile.write(b"0\r\n\r\n")

    def raw(self, query, head):
        """/raw?segment=N: the bytes of content number N, whatever the faults."""
        if isinstance(self.server.source, StaticSource):
            return self.send_text(400, "raw: not with --serve-dir; the files are in the folder\n", head)
        params = dict(urllib.parse.parse_qsl(query))
        number = params.get("segment", "")
        if not number.isdigit():
            return self.send_text(400, "raw: give segment=NUMBER\n", head)
        body = self.server.source.segment(int(number))
        self.send_response(200)
        self.send_header("Content-Type", "video/mp2t")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def control(self, query, head):
        source = self.server.source
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
        params = dict(pairs)
        if len(params) != len(pairs):
            return self.send_text(400, "control: a parameter is given twice\n", head)
        if not params:
            return self.send_text(200, source.faults.describe(), head)
        if params.get("clear") == "all" and len(params) == 1:
            source.faults.clear()
            return self.send_text(200, "cleared all faults\n", head)
        events = [k for k in STREAM_EVENTS if k in params]
        if events:
            if len(params) != 1:
                return self.send_text(400, "control: give %s= alone\n" % events[0], head)
            if source.mode != "live":
                return self.send_text(400, "control: %s= needs --mode live\n" % events[0], head)
            try:
                value = float(params[events[0]]) if events[0] == "stale" else int(params[events[0]])
                if not 0 < value <= 100000:
                    raise ValueError
            except ValueError:
                return self.send_text(400, "control: bad value %r for %s=\n" % (params[events[0]], events[0]), head)
            return self.send_text(200, source.event(events[0], value), head)
        unknown = set(params) - {"segment", "playlist", "times", "clear"} - set(FAULT_KINDS)
        if unknown:
            return self.send_text(400, "control: unknown parameter %s\n" % ", ".join(sorted(unknown)), head)
        try:
            target, fault = parse_fault(params, source.playlists)
        except FaultError as error:
            return self.send_text(400, "control: %s\n" % error, head)
        if fault is None:
            source.faults.clear(target)
        else:
            source.faults.set(target, fault)
        return self.send_text(200, source.faults.describe(), head)

    def send_text(self, status, text, head, content_type="text/plain; charset=utf-8"):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # A fresh port per run; never take over a port that another run holds.
    allow_reuse_address = False

    def handle_error(self, request, client_address):
        # Clients that hang up mid-segment (a killed download) are normal here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("%r must be 1 or more" % text)
    return value


def positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text)
    if not 0 < value < 1e6:
        raise argparse.ArgumentTypeError("%r must be above 0" % text)
    return value


def port_number(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a port number" % text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("%r is not a port number (0 to 65535)" % text)
    return value


def bandwidth_list(text):
    values = []
    for item in text.split(","):
        if not item.strip().isdigit() or int(item) < 1:
            raise argparse.ArgumentTypeError("%r: bandwidths are whole numbers of bits per second, separated by commas" % text)
        values.append(int(item))
    if len(values) > 20:
        raise argparse.ArgumentTypeError("at most 20 variants")
    return values


def fault_option(kind, flag=False):
    def parse(text):
        if flag:
            return kind, text, "1"
        target, _, value = text.partition(":")
        if not value:
            raise argparse.ArgumentTypeError("%r: expected TARGET:VALUE" % text)
        return kind, target, value
    return parse


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="hlssource.py",
        description="Serve a local HLS test stream on 127.0.0.1: a master playlist /index.m3u8, "
                    "a media playlist /vN.m3u8 per variant and generated MPEG-TS segments /vN_NUMBER.ts. "
                    "Faults can also be switched at run time with GET /control?... (see README.md).")
    parser.add_argument("--port", type=port_number, default=0, help="TCP port on 127.0.0.1; 0 (default) picks a free one")
    parser.add_argument("--mode", choices=("vod", "live"), default="vod", help="vod: a fixed list ending with #EXT-X-ENDLIST; live: a sliding window (default vod)")
    parser.add_argument("--segments", type=positive_int, default=10, help="segments in vod mode (default 10)")
    parser.add_argument("--window", type=positive_int, default=5, help="segments listed in live mode (default 5)")
    parser.add_argument("--segment-seconds", type=positive_float, default=2.0, help="duration of a segment; in live mode a new one appears this often (default 2)")
    parser.add_argument("--segment-bytes", type=positive_int, default=1000000, help="size of a segment, rounded to whole 188-byte packets, at least 3 (default 1000000)")
    parser.add_argument("--bandwidths", type=bandwidth_list, default=[800000, 1200000, 2500000], help="comma-separated BANDWIDTH of each variant (default 800000,1200000,2500000)")
    parser.add_argument("--fail", dest="faults", action="append", type=fault_option("fail"), default=[], metavar="SEGMENT:STATUS", help="segment SEGMENT answers HTTP STATUS (repeatable)")
    parser.add_argument("--fail-playlist", dest="faults", action="append", type=fault_option("fail-playlist"), metavar="NAME:STATUS", help="playlist NAME (index.m3u8, v0.m3u8, ...) answers HTTP STATUS (repeatable)")
    parser.add_argument("--truncate", dest="faults", action="append", type=fault_option("truncate"), metavar="SEGMENT:BYTES", help="segment SEGMENT promises its whole length but the connection closes after BYTES (repeatable)")
    parser.add_argument("--slow", dest="faults", action="append", type=fault_option("slow"), metavar="SEGMENT:SECONDS", help="segment SEGMENT takes SECONDS to send (repeatable)")
    parser.add_argument("--hang", dest="faults", action="append", type=fault_option("hang"), metavar="SEGMENT:SECONDS", help="segment SEGMENT sends half, then stays silent for SECONDS (repeatable)")
    parser.add_argument("--html", dest="faults", action="append", type=fault_option("html", flag=True), metavar="SEGMENT", help="segment SEGMENT answers 200 with an HTML page (repeatable)")
    parser.add_argument("--quote", dest="faults", action="append", type=fault_option("quote", flag=True), metavar="SEGMENT", help="the playlist line of segment SEGMENT has a ' in its name (repeatable)")
    serving = parser.add_argument_group("layout and serving")
    serving.add_argument("--layout", choices=Layout.NAMES, default="flat", help="where playlists and segments live and how they are named (default flat; see README.md)")
    serving.add_argument("--chunked", action="store_true", help="send playlists and segments with chunked transfer encoding, without Content-Length")
    serving.add_argument("--byterange", action="store_true", help="media playlists list each segment as an #EXT-X-BYTERANGE of one growing file vK.ts per variant")
    serving.add_argument("--gzip", action="store_true", help="send playlists gzip-compressed (Content-Encoding: gzip) whether or not the client asked")
    serving.add_argument("--aes-key", metavar="HEX", help="encrypt segments with METHOD=AES-128 and this 32-digit hex key, served as /key.bin")
    serving.add_argument("--key-iv", type=lambda t: int(t, 16), metavar="HEX", help="with --aes-key: an IV attribute for every segment (default: the sequence number)")
    serving.add_argument("--audio-apart", type=int, default=0, metavar="N", help="the N variants of the highest bandwidth carry their sound in a separate audio rendition")
    serving.add_argument("--token-uses", type=positive_int, metavar="N", help="every master playlist puts a new token in its variants' URLs, good for N fetches of a media playlist (then 403), as tokens that expire")
    serving.add_argument("--refuse-agent", metavar="TEXT", help="answer 403 to every playlist and segment request whose User-Agent holds TEXT (such as Wget)")
    serving.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve HTTPS with this certificate chain and key (PEM)")
    serving.add_argument("--serve-dir", metavar="DIR", help="serve the files of DIR as they stand (such as ffmpeg's HLS output while it runs) instead of a made stream; faults by file name")
    serving.add_argument("--clock", choices=("wall", "manual"), default="wall", help="live mode: a new segment every --segment-seconds (wall) or on /control?advance=K only (manual)")
    parser.add_argument("--stop-after", type=positive_float, metavar="SECONDS", help="stop by itself after SECONDS")
    parser.add_argument("--verbose", action="store_true", help="log every request on standard error")
    realvideo.add_arguments(parser)
    args = parser.parse_args(argv)
    return parser, args


def listen(port, second_host):
    """The server on 127.0.0.1 and, for the hosts layout, one on the same port
    of the second address. With port 0 a few free ports are tried, since the
    second address may hold the first one's port."""
    for _ in range(1 if port else 20):
        first = Server(("127.0.0.1", port), Handler)
        if not second_host:
            return [first]
        try:
            return [first, Server((Layout.SECOND_HOST, first.server_address[1]), Handler)]
        except OSError:
            first.server_close()
            if port:
                raise
    raise OSError(98, "no port free on both addresses")


def main(argv):
    parser, args = parse_args(argv)
    try:
        source = StaticSource(args) if args.serve_dir else Source(args)
    except (OSError, RuntimeError) as error:
        sys.stderr.write("hlssource.py: %s\n" % error)
        return 1
    for kind, target, value in args.faults:
        params = {"playlist" if kind == "fail-playlist" else "segment": target,
                  "fail" if kind == "fail-playlist" else kind: value}
        try:
            fault_target, fault = parse_fault(params, source.playlists)
        except FaultError as error:
            parser.error("--%s %s:%s: %s" % (kind, target, value, error))
        source.faults.set(fault_target, fault)

    stop = threading.Event()
    try:
        servers = listen(args.port, args.layout == "hosts")
    except OSError as error:
        sys.stderr.write("hlssource.py: cannot listen on 127.0.0.1:%d: %s\n" % (args.port, error.strerror or error))
        return 1
    source.layout.port = servers[0].server_address[1]
    for server in servers:
        server.source = source
        server.verbose = args.verbose
        server.chunked = args.chunked
        server.stopping = stop

    reason = []

    def on_signal(signum, _frame):
        reason.append(signal.Signals(signum).name)
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    for server in servers:
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    scheme = "http"
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        for server in servers:
            server.socket = context.wrap_socket(server.socket, server_side=True)
        scheme = "https"
    sys.stdout.write("serving %s://127.0.0.1:%d/\n" % (scheme, source.layout.port))
    sys.stdout.flush()
    # Short waits, so a signal is seen promptly whatever the Python version.
    deadline = None if args.stop_after is None else time.monotonic() + args.stop_after
    while not stop.wait(0.1):
        if deadline is not None and time.monotonic() >= deadline:
            break
    stop.set()
    # shutdown() waits for serve_forever to notice; bounded, so that a server
    # that is stuck for whatever reason can never keep the source alive.
    for server in servers:
        ender = threading.Thread(target=server.shutdown, daemon=True)
        ender.start()
        ender.join(2)
        server.server_close()
    sys.stderr.write("hlssource.py: stopped (%s)\n" % (reason[0] if reason else "--stop-after"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
