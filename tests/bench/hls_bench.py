#!/usr/bin/env python3
"""Live HLS benchmarks: Orvado in the emulator beside streamlink and ffmpeg,
against the local HLS test source, measured in the same run.

  hls_bench.py key-to-picture [--reps N] [--rates 4,10]
      Time from the digit key to the player's start (Orvado), and from the
      start of the command until its output passes 7,000,000 bytes
      (streamlink --stdout URL best; ffmpeg -i URL -map 0 -c copy -f mpegts -),
      on a live stream with 2-second segments.
  hls_bench.py soak [--minutes M] [--evening]
      M minutes of live streaming (default 10, or $SOAK_MINUTES) with a fault
      every minute from the test source's list; segments lost, duplicated and
      cut for each client side by side, and seconds of black screen: those of
      a viewer's player on each client's output (it starts at three segments,
      plays at the stream's rate, and waits for one segment when it runs
      dry), and for Orvado those of the emulator's own player
      ($SOAK_KEEP=1 keeps the outputs). Orvado's Stream.ts is followed as it
      grows, also across the new file that it begins after an outage.
      --evening: 1-second segments at 4 Mbit/s, a fault every ten minutes
      (a 40 s outage, a 40 s hang, 503 twice, one slow list), for two hours
      unless --minutes says otherwise; also each client's CPU seconds, the
      machine's new processes a minute and Orvado's largest chunk number.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ORVADO_BUILD", os.path.join(ROOT, "build"))
sys.path.insert(0, os.path.join(ROOT, "tools", "hlssource"))
import hlssource  # noqa: E402  (the segments' bytes, to check what arrived)

THRESHOLD = 7000000
SECONDS = 2


class Source:
    """The test source as a child process, live, on a free port."""

    # One variant: ffmpeg's "-map 0" takes every stream of every variant (the
    # synthetic segments carry a data stream, which it does not choose by
    # itself), so with more variants it would download each of them.
    def __init__(self, segment_bytes, stop_after, bandwidths="4000000", seconds=SECONDS):
        self.bytes = segment_bytes
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tools", "hlssource", "hlssource.py"), "--mode", "live",
             "--segment-seconds", str(seconds), "--segment-bytes", str(segment_bytes), "--bandwidths", bandwidths,
             "--window", "6", "--stop-after", str(stop_after)],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if not line.startswith("serving "):
            raise SystemExit("the test source did not start: %r" % line)
        self.url = line[len("serving "):]
        self.started = time.monotonic()

    def control(self, query):
        with urllib.request.urlopen(self.url + "control?" + query, timeout=5) as answer:
            return answer.read().decode()

    def newest(self):
        text = urllib.request.urlopen(self.url + "v0.m3u8", timeout=5).read().decode()
        return int(text.split("#EXT-X-MEDIA-SEQUENCE:")[1].split()[0]) + text.count("#EXTINF") - 1

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait()


def emulator(disk, url, keys, run, playlist="index.m3u8"):
    """orvado-emu on `disk` (a folder, kept) with channel 1 set to `url`'s `playlist`."""
    if not os.path.isdir(disk):
        shutil.copytree(os.path.join(BUILD, "disk"), disk)
        shutil.copy(shutil.which("wget"), os.path.join(disk, "ProgramFiles", "wget"))
    os.makedirs(os.path.join(disk, "ProgramFiles", "Settings", "orvado"), exist_ok=True)
    with open(os.path.join(disk, "ProgramFiles", "Settings", "orvado", "orvado.ini"), "w") as ini:
        ini.write("tvname1=Live\ntvPL1=%s%s\n" % (url, playlist))
    return subprocess.Popen([os.path.join(BUILD, "orvado-emu"), "--disk", disk, "--keys", keys, "--run", run,
                             os.path.join(BUILD, "Orvado.tap")],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def orvado_key_to_picture(url, limit=90):
    """Seconds from the digit key to the player's start, or None."""
    disk = tempfile.mkdtemp(prefix="orvado-bench-")
    proc = emulator(disk + "/hd", url, "1s:1", "%ds" % limit)
    key = None
    try:
        for line in proc.stdout:
            now = time.monotonic()
            if "key 0x10001 consumed" in line:
                key = now
            if ": playing /mnt/hd/MediaFiles/tmp/Stream.ts" in line and key is not None:
                return now - key
        return None
    finally:
        stop(proc)
        shutil.rmtree(disk, ignore_errors=True)


def output_time(command, limit=90):
    """Seconds from the start of `command` until its standard output passes
    THRESHOLD bytes, or None."""
    start = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    total = 0
    timer = threading.Timer(limit, proc.kill)
    timer.start()
    try:
        while total <= THRESHOLD:
            data = proc.stdout.read1(1 << 16)
            if not data:
                return None
            total += len(data)
        return time.monotonic() - start
    finally:
        timer.cancel()
        proc.kill()
        proc.wait()


def clients(url):
    return {
        "streamlink": lambda: output_time(["streamlink", "--stdout", url + "index.m3u8", "best"]),
        "ffmpeg": lambda: output_time(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-i", url + "index.m3u8",
                                       "-map", "0", "-c", "copy", "-f", "mpegts", "-"]),
    }


def key_to_picture(args):
    print("== key to picture: live stream, %d-second segments, threshold %d bytes" % (SECONDS, THRESHOLD))
    for rate in args.rates:
        segment = int(rate * 1e6 * SECONDS / 8) // 188 * 188
        source = Source(segment, 60 + args.reps * 3 * 100)
        times = {"Orvado": [], "streamlink": [], "ffmpeg": []}
        try:
            for _ in range(args.reps):
                times["Orvado"].append(orvado_key_to_picture(source.url))
                for name, run in clients(source.url).items():
                    times[name].append(run())
        finally:
            source.stop()
        median = {name: statistics.median([t for t in ts if t is not None] or [float("nan")]) for name, ts in times.items()}
        # What bounds any client that starts three segments behind the live
        # edge: the segments still to be made before the threshold is passed.
        needed = THRESHOLD // segment + 1
        floor = max(0, needed - 3) * SECONDS
        print("%g Mbit/s (%d-byte segments, %d needed; waiting at the live edge alone takes %d to %d s): "
              "Orvado %.1f s, streamlink %.1f s, ffmpeg %.1f s (median of %d)"
              % (rate, segment, needed, max(0, floor - SECONDS), floor, median["Orvado"], median["streamlink"], median["ffmpeg"], args.reps))
        # What bounds Orvado by design: a step every 3 seconds, and the first
        # step fetches one listed segment and starts one more, so the steps
        # at 0, 3 and 6 s hold at most 1, 2 and 3 of the segments listed at
        # the key; a later one waits for the live edge, then for a step to
        # start its download and the next step to append it.
        pace = 3 * (min(needed, 3) - 1)
        print("  bounds for Orvado: the 3-second pace alone %d s; live edge plus pace %d to %d s"
              % (pace, max(pace, floor - SECONDS), max(pace, floor + 6)))
        print("  key to picture, %g Mbit/s, against streamlink: %.2fx (goal: at least 1x)"
              % (rate, median["streamlink"] / median["Orvado"]))
        print("  key to picture, %g Mbit/s, against ffmpeg: %.2fx" % (rate, median["ffmpeg"] / median["Orvado"]))
        print("  every run: %s" % ", ".join("%s %s" % (n, " ".join("%.1f" % t if t else "-" for t in ts))
                                           for n, ts in times.items()))


# ---- soak ---------------------------------------------------------------------

def find_segments(data, segment_bytes):
    """Splits a stream of appended segments at each segment's opening PAT and
    names each piece by the PCR of its first PES packet: [(number, whole)]."""
    pieces = []
    starts = []
    at = data.find(b"\x47\x40\x00")
    while at >= 0:
        # A segment opens with PAT then PMT (PID 0x1000).
        if data[at + 188:at + 191] == b"\x47\x50\x00":
            starts.append(at)
        at = data.find(b"\x47\x40\x00", at + 1)
    for i, start in enumerate(starts):
        end = starts[i + 1] if i + 1 < len(starts) else len(data)
        p = data[start + 2 * 188 + 6:start + 2 * 188 + 11]
        if len(p) < 5:
            pieces.append((None, False))
            continue
        pcr = (p[0] << 25) | (p[1] << 17) | (p[2] << 9) | (p[3] << 1) | (p[4] >> 7)
        number = pcr // (SECONDS * 90000)
        whole = data[start:end] == hlssource.build_segment(number, segment_bytes, float(SECONDS))
        pieces.append((number, whole))
    return pieces


def pes_segments(data, segment_bytes, numbers):
    """For a remuxed stream (ffmpeg): its PES packets per segment, told apart
    by their payload, which opens with a pattern made from the segment's
    number (the timestamps are rewritten). [(number, whole)] in file order."""
    known = {hlssource.pattern(n, 32): n for n in numbers}
    counts, order = {}, []
    for at in range(data.find(b"\x47"), len(data) - 188 + 1, 188):
        packet = data[at:at + 188]
        if packet[0] != 0x47 or not packet[1] & 0x40:
            continue
        payload = 4 + (1 + packet[4] if packet[3] & 0x20 else 0)
        pes = packet[payload:]
        if pes[:4] != b"\x00\x00\x01" + bytes([hlssource.STREAM_ID]):
            continue
        number = known.get(pes[9 + pes[8]:9 + pes[8] + 32])
        if number is None:
            continue
        if number not in counts:
            order.append(number)
        counts[number] = counts.get(number, 0) + 1
    es = hlssource.packet_count(segment_bytes) - 2
    per = (es + hlssource.PES_SPAN - 1) // hlssource.PES_SPAN
    return [(n, counts[n] % per == 0) for n in order for _ in range(max(1, counts[n] // per))]


def tally(pieces, listed, unobtainable):
    """Lost, duplicated and cut segments of one client's pieces."""
    numbers = [n for n, _ in pieces if n is not None]
    if not numbers:
        return {"got": 0, "lost": len(listed), "dup": 0, "cut": 0}
    got = set(numbers)
    span = [n for n in listed if min(numbers) <= n <= max(numbers) and n not in unobtainable]
    return {"got": len(got), "lost": sum(1 for n in span if n not in got),
            "dup": len(numbers) - len(got), "cut": sum(1 for n, whole in pieces if not whole)}


def black_seconds(samples, segment_bytes, end):
    """Seconds without picture, from the first start to `end`, of a player
    that reads the output sampled as [(seconds, size)] at the stream's rate:
    it starts once three segments are in, and after running dry waits until
    one segment is ahead again."""
    rate = segment_bytes / SECONDS
    played, black, playing, started, last = 0.0, 0.0, False, False, None
    for t, size in samples + [(end, samples[-1][1] if samples else 0)]:
        if last is not None and t > last:
            if playing:
                played += rate * (t - last)
                if played >= size:
                    black += (played - size) / rate
                    played, playing = float(size), False
            elif started:
                black += t - last
        if not playing and size - played >= (segment_bytes if started else 3 * segment_bytes):
            playing = started = True
        last = t
    return black


class Sampler(threading.Thread):
    """The size of each output file every half second."""

    def __init__(self, paths, start):
        super().__init__(daemon=True)
        self.paths, self.start_time, self.samples = paths, start, {name: [] for name in paths}
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(0.5):
            now = time.monotonic() - self.start_time
            for name, path in self.paths.items():
                try:
                    self.samples[name].append((now, os.path.getsize(path)))
                except OSError:
                    pass


class Follower(threading.Thread):
    """Copies what a growing file gains to `into` every half second; when the
    file is begun anew (another inode, or shorter), follows the new one.
    Also keeps the largest chunk number of the chunk files beside it
    (tmpN.ts)."""

    def __init__(self, path, into):
        super().__init__(daemon=True)
        self.path, self.into, self.done = path, into, threading.Event()
        self.largest_chunk = 0

    def run(self):
        inode, offset = None, 0
        with open(self.into, "wb") as out:
            while True:
                last = self.done.wait(0.5)
                try:
                    for name in os.listdir(os.path.dirname(self.path)):
                        m = re.fullmatch(r"tmp(\d+)\.ts", name)
                        if m:
                            self.largest_chunk = max(self.largest_chunk, int(m.group(1)))
                except OSError:
                    pass
                try:
                    with open(self.path, "rb") as f:
                        st = os.fstat(f.fileno())
                        if st.st_ino != inode or st.st_size < offset:
                            inode, offset = st.st_ino, 0
                        f.seek(offset)
                        data = f.read(st.st_size - offset)
                        out.write(data)
                        offset += len(data)
                except OSError:
                    pass
                if last:
                    return


class PlayerWatch(threading.Thread):
    """Orvado's player in the emulator, from orvado-emu's console lines:
    seconds without playback after its first start, and the TAP's memory."""

    def __init__(self, lines, start):
        super().__init__(daemon=True)
        self.lines, self.start_time = lines, start
        self.started_at, self.ended_at, self.black = None, None, 0.0
        self.memory = []  # (seconds, live, peak) from the emulator's ledger

    def run(self):
        for line in self.lines:
            now = time.monotonic() - self.start_time
            m = re.search(r"TAP memory: (\d+) bytes live, peak (\d+) bytes", line)
            if m:
                self.memory.append((now, int(m.group(1)), int(m.group(2))))
            if "Appl_StartPlaybackMedia: playing" in line:
                if self.ended_at is not None:
                    self.black += now - self.ended_at
                self.started_at = self.started_at or now
                self.ended_at = None
            elif "playback ended" in line and self.started_at is not None:
                self.ended_at = now

    def until(self, end):
        return self.black + (end - self.ended_at if self.ended_at is not None else 0.0)


FAULTS = [
    # (what the source is told, with S for a segment about to be made; note)
    ("segment=S&truncate=20000&times=1", "cut once, retry succeeds"),
    ("segment=S&fail=404", "404 for good"),
    ("segment=S&html=1", "HTML page with 200"),
    ("segment=S&hang=20&times=1", "server hangs mid-segment once"),
    ("segment=S&slow=6", "segment takes 6 s"),
    ("playlist=v0.m3u8&fail=500&times=2", "media playlist 500 twice"),
    ("playlist=v0.m3u8&hang=8&times=1", "media playlist hangs once"),
    ("stale=8", "playlist stale for 8 s"),
    ("segment=S&quote=1", "segment line with a quote"),
    ("segment=S&truncate=0&times=2", "connection closed twice"),
]

# An evening's faults: (query, note, seconds until it is cleared or 0).
EVENING_FAULTS = [
    ("playlist=v0.m3u8&fail=404", "outage: the list is gone for 40 s", 40),
    ("playlist=v0.m3u8&hang=40&times=1", "the list hangs for 40 s", 0),
    ("segment=S&fail=503&times=2", "a segment answers 503 twice", 0),
    # A list answer that stops for 5 s: past the 3-second limit once.
    ("playlist=v0.m3u8&hang=5&times=1", "one slow list (5 s)", 0),
]


def finish(proc, limit=10):
    """Waits for `proc` (killed after `limit` seconds) and gives its CPU
    seconds with those of every process it started and waited for."""
    deadline = time.monotonic() + limit
    while True:
        try:
            pid, _, usage = os.wait4(proc.pid, os.WNOHANG)
        except ChildProcessError:
            return float("nan")  # it ended before, and was waited for then
        if pid == proc.pid:
            proc.returncode = 0
            return usage.ru_utime + usage.ru_stime
        if time.monotonic() > deadline:
            proc.kill()
            deadline = float("inf")
        time.sleep(0.1)


def forks():
    """New processes on the machine since it started (/proc/stat)."""
    with open("/proc/stat") as f:
        for line in f:
            if line.startswith("processes "):
                return int(line.split()[1])
    return 0


def soak(args):
    global SECONDS  # the segments' length, which find_segments and black_seconds count in
    minutes = args.minutes if args.minutes is not None else (120 if args.evening else 10)
    seconds = int(minutes * 60)
    if args.evening:
        segment_seconds, every, faults = 1, 10, [(q, n, c) for q, n, c in EVENING_FAULTS]
        segment = 500000 // 188 * 188  # 4 Mbit/s in 1-second segments
    else:
        segment_seconds, every, faults = SECONDS, 1, [(q, n, 0) for q, n in FAULTS]
        segment = 125000 // 188 * 188  # 0.5 Mbit/s keeps ten minutes small
    SECONDS = segment_seconds
    source = Source(segment, seconds + 120, seconds=segment_seconds)
    work = tempfile.mkdtemp(prefix="orvado-soak-")
    outputs = {"streamlink": os.path.join(work, "streamlink.ts"), "ffmpeg": os.path.join(work, "ffmpeg.ts")}
    url = source.url + "index.m3u8"
    procs = {
        "Orvado": emulator(os.path.join(work, "hd"), source.url, "1s:1", "%ds" % (seconds + 30)),
        "streamlink": subprocess.Popen(["streamlink", "--stdout", url, "best"], stdout=open(outputs["streamlink"], "wb"),
                                       stderr=subprocess.DEVNULL),
        "ffmpeg": subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-i", url, "-map", "0", "-c", "copy",
                                    "-f", "mpegts", outputs["ffmpeg"]],
                                   stderr=subprocess.DEVNULL),
    }
    start = time.monotonic()
    player = PlayerWatch(procs["Orvado"].stdout, start)
    player.start()
    followed = os.path.join(work, "orvado.ts")
    follower = Follower(os.path.join(work, "hd", "MediaFiles", "tmp", "Stream.ts"), followed)
    follower.start()
    sampler = Sampler({"Orvado": followed, **outputs}, start)
    sampler.start()
    forks_at_start = forks()
    unobtainable = set()
    first_listed = source.newest()
    print("== soak: %g minutes of %g-second segments (%d bytes), a fault every %d minutes"
          % (minutes, segment_seconds, segment, every))
    for i in range(max(1, int(minutes // every))):
        time.sleep(max(0, start + 30 + 60 * every * i - time.monotonic()))
        query, note, clear = faults[i % len(faults)]
        target = source.newest() + 3
        try:
            source.control(query.replace("S", str(target)))
        except OSError as error:
            print("  the source refused %s: %s" % (query, error))
        if "segment=S&fail=404" in query or "html" in query or "quote" in query:
            unobtainable.add(target)
        print("  %5.0f s: %s (segment %d)" % (time.monotonic() - start, note, target))
        if clear:
            time.sleep(clear)
            source.control(query.split("&")[0] + "&clear=1")
    time.sleep(max(0, start + seconds - time.monotonic()))
    end = time.monotonic() - start
    sampler.done.set()
    follower.done.set()
    follower.join()
    new_processes = (forks() - forks_at_start) / max(1.0, end / 60)
    orvado_player_black = player.until(end)
    last_listed = source.newest()
    for name in ("streamlink", "ffmpeg"):
        procs[name].send_signal(signal.SIGINT)
    time.sleep(5)
    procs["Orvado"].send_signal(signal.SIGINT)
    cpu = {name: finish(p) for name, p in procs.items()}
    source.stop()
    listed = range(first_listed - 2, last_listed + 1)
    results = {}
    with open(followed, "rb") as f:
        results["Orvado"] = tally(find_segments(f.read(), segment), listed, unobtainable)
    with open(outputs["streamlink"], "rb") as f:
        results["streamlink"] = tally(find_segments(f.read(), segment), listed, unobtainable)
    with open(outputs["ffmpeg"], "rb") as f:
        results["ffmpeg"] = tally(pes_segments(f.read(), segment, range(last_listed + 60)), listed, unobtainable)
    print("segments listed %d; unobtainable by design (404, HTML page, quote line) %d"
          % (len(listed), len(unobtainable)))
    for name, r in results.items():
        # ffmpeg remuxes: its output's own bytes per segment set its player's pace.
        per = segment if name != "ffmpeg" or not r["got"] else sampler.samples[name][-1][1] / max(1, r["got"] + r["dup"])
        black = black_seconds(sampler.samples[name], per, end) if sampler.samples[name] else end
        print("  %-10s got %4d  lost %3d  duplicated %3d  cut %3d  black screen %5.1f s  CPU %6.1f s"
              % (name, r["got"], r["lost"], r["dup"], r["cut"], black, cpu.get(name, float("nan"))))
    print("  Orvado's own player in the emulator: %.1f s without picture after its first start%s"
          % (orvado_player_black, "" if player.started_at is not None else " (it never started)"))
    print("  Orvado's largest chunk number: %d; new processes on the machine: %.0f a minute (all clients)"
          % (follower.largest_chunk, new_processes))
    player.join(timeout=10)
    if player.memory:
        print("  Orvado's memory (the emulator's ledger): "
              + ", ".join("%.0f min: peak %d kB (live %d kB)" % (t / 60, peak // 1024, live // 1024)
                          for t, live, peak in player.memory))
    if os.environ.get("SOAK_KEEP"):
        print("outputs kept in %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    k = sub.add_parser("key-to-picture")
    k.add_argument("--reps", type=int, default=int(os.environ.get("KEY_REPS", "3")))
    k.add_argument("--rates", type=lambda t: [float(x) for x in t.split(",")], default=[4.0, 10.0])
    s = sub.add_parser("soak")
    s.add_argument("--minutes", type=float,
                   default=float(os.environ["SOAK_MINUTES"]) if "SOAK_MINUTES" in os.environ else None)
    s.add_argument("--evening", action="store_true", help="1-second segments at 4 Mbit/s, a fault every 10 minutes")
    args = parser.parse_args()
    key_to_picture(args) if args.what == "key-to-picture" else soak(args)


if __name__ == "__main__":
    main()
