#!/usr/bin/env python3
"""Local HLS test source: a real HTTP server on 127.0.0.1 that serves a master
playlist, one media playlist per variant and generated MPEG transport stream
segments, in VOD or live (sliding window) mode, with faults on demand.

Run with --help for the options; tools/hlssource/README.md has examples.
"""

import argparse
import functools
import hashlib
import http.server
import math
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


class Faults:
    """Faults by target: ("segment", number) or ("playlist", name).

    A fault is a dict with "fail" (HTTP status), "truncate" (bytes sent of a
    segment before the connection is closed) or "slow" (seconds to spread a
    segment over), and "times" (requests left, None for ever).
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

    def describe(self):
        with self.lock:
            lines = []
            for (kind, key), fault in sorted(self.by_target.items(), key=lambda item: (item[0][0], str(item[0][1]))):
                what = " ".join("%s=%s" % (k, fault[k]) for k in ("fail", "truncate", "slow") if k in fault)
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
    kinds = [k for k in ("fail", "truncate", "slow") if k in params]
    if len(kinds) != 1:
        raise FaultError("give exactly one of fail=, truncate=, slow= (or clear=1)")
    kind = kinds[0]
    fault = {"times": None}
    try:
        if kind == "slow":
            fault["slow"] = float(params["slow"])
            if not 0 < fault["slow"] <= 3600:
                raise ValueError
        else:
            fault[kind] = int(params[kind])
    except ValueError:
        raise FaultError("bad value %r for %s=" % (params[kind], kind))
    if kind == "fail" and not 400 <= fault["fail"] <= 599:
        raise FaultError("fail= needs an HTTP error status from 400 to 599")
    if kind == "truncate" and fault["truncate"] < 0:
        raise FaultError("truncate= needs a byte count of 0 or more")
    if kind in ("truncate", "slow") and target[0] != "segment":
        raise FaultError("%s= applies to segments only" % kind)
    if "times" in params:
        try:
            fault["times"] = int(params["times"])
        except ValueError:
            fault["times"] = 0
        if fault["times"] < 1:
            raise FaultError("times= needs a count of 1 or more")
    return target, fault


class Source:
    """What is served: playlists and segments, by mode, clock and faults."""

    def __init__(self, args):
        self.mode = args.mode
        self.bandwidths = args.bandwidths
        self.segments = args.segments
        self.window = args.window
        self.seconds = args.segment_seconds
        self.segment_bytes = args.segment_bytes
        self.started = time.monotonic()
        self.faults = Faults()
        self.real = realvideo.RealVideo(args) if args.video == "real" else None
        if self.real:
            self.bandwidths = self.real.bandwidths()
        self.playlists = {"index.m3u8"} | {"v%d.m3u8" % i for i in range(len(self.bandwidths))}

    def newest(self):
        if self.mode == "vod":
            return self.segments - 1
        # The window is full from the start, then one segment is added every
        # segment_seconds of wall-clock time.
        return self.window - 1 + int((time.monotonic() - self.started) / self.seconds)

    def available(self, number):
        return 0 <= number <= self.newest()

    def master(self):
        lines = ["#EXTM3U", "#EXT-X-VERSION:3"]
        for i, bandwidth in enumerate(self.bandwidths):
            lines.append("#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=%d" % bandwidth)
            lines.append("v%d.m3u8" % i)
        return "".join(line + "\n" for line in lines)

    def media(self, variant):
        newest = self.newest()
        first = 0 if self.mode == "vod" else newest - self.window + 1
        lines = ["#EXTM3U", "#EXT-X-VERSION:3",
                 "#EXT-X-TARGETDURATION:%d" % math.ceil(self.seconds),
                 "#EXT-X-MEDIA-SEQUENCE:%d" % first]
        if self.real:
            lines.append("#EXT-X-DISCONTINUITY-SEQUENCE:%d" % self.real.discontinuity_sequence(first))
        if self.mode == "vod":
            lines.append("#EXT-X-PLAYLIST-TYPE:VOD")
        for number in range(first, newest + 1):
            if self.real and self.real.discontinuity(number):
                lines.append("#EXT-X-DISCONTINUITY")
            lines.append("#EXTINF:%.3f," % (self.real.duration(number) if self.real else self.seconds))
            lines.append("v%d_%d.ts" % (variant, number))
        if self.mode == "vod":
            lines.append("#EXT-X-ENDLIST")
        return "".join(line + "\n" for line in lines)

    def segment(self, number, variant=0):
        if self.real:
            return self.real.segment(variant, number)
        return build_segment(number, self.segment_bytes, self.seconds)


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
        if name in source.playlists:
            fault = source.faults.take(("playlist", name))
            if fault and "fail" in fault:
                return self.send_text(fault["fail"], "fault: playlist %s answers %d\n" % (name, fault["fail"]), head)
            text = source.master() if name == "index.m3u8" else source.media(int(name[1:-len(".m3u8")]))
            return self.send_text(200, text, head, "audio/mpegurl")
        number = self.segment_number(name)
        if number is None or not source.available(number):
            return self.send_text(404, "not found: /%s\n" % name, head)
        fault = source.faults.take(("segment", number))
        if fault and "fail" in fault:
            return self.send_text(fault["fail"], "fault: segment %d answers %d\n" % (number, fault["fail"]), head)
        body = source.segment(number, int(name[1:].partition("_")[0]))
        self.send_response(200)
        self.send_header("Content-Type", "video/mp2t")
        self.send_header("Content-Length", str(len(body)))
        if fault and "truncate" in fault:
            self.send_header("Connection", "close")
        self.end_headers()
        if head:
            return
        if fault and "truncate" in fault:
            # Promise the whole segment, send a part, then drop the
            # connection, as a server that dies mid-transfer would.
            self.wfile.write(body[:fault["truncate"]])
            self.wfile.flush()
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
                self.wfile.write(body[off:off + step])
                self.wfile.flush()
                time.sleep(fault["slow"] / pieces)
            return
        self.wfile.write(body)

    def segment_number(self, name):
        if not (name.startswith("v") and name.endswith(".ts")):
            return None
        variant, _, number = name[1:-3].partition("_")
        if not (variant.isdigit() and number.isdigit()):
            return None
        if int(variant) >= len(self.server.source.bandwidths):
            return None
        return int(number)

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
        unknown = set(params) - {"segment", "playlist", "fail", "truncate", "slow", "times", "clear"}
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


def fault_option(kind):
    def parse(text):
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
    parser.add_argument("--stop-after", type=positive_float, metavar="SECONDS", help="stop by itself after SECONDS")
    parser.add_argument("--verbose", action="store_true", help="log every request on standard error")
    realvideo.add_arguments(parser)
    args = parser.parse_args(argv)
    return parser, args


def main(argv):
    parser, args = parse_args(argv)
    try:
        source = Source(args)
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

    try:
        server = Server(("127.0.0.1", args.port), Handler)
    except OSError as error:
        sys.stderr.write("hlssource.py: cannot listen on 127.0.0.1:%d: %s\n" % (args.port, error.strerror or error))
        return 1
    server.source = source
    server.verbose = args.verbose

    stop = threading.Event()
    reason = []

    def on_signal(signum, _frame):
        reason.append(signal.Signals(signum).name)
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    worker.start()
    sys.stdout.write("serving http://127.0.0.1:%d/\n" % server.server_address[1])
    sys.stdout.flush()
    # Short waits, so a signal is seen promptly whatever the Python version.
    deadline = None if args.stop_after is None else time.monotonic() + args.stop_after
    while not stop.wait(0.1):
        if deadline is not None and time.monotonic() >= deadline:
            break
    server.shutdown()
    server.server_close()
    sys.stderr.write("hlssource.py: stopped (%s)\n" % (reason[0] if reason else "--stop-after"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
