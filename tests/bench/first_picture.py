#!/usr/bin/env python3
"""Key to first picture: the time from the digit key to the player's start,
and to the first decoded picture on the screen, in the emulator on the real
clock with the real wget against the HLS test source's real 720p video.

    python3 tests/bench/first_picture.py BUILD_DIR [RUNS]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def one_run(build, url):
    work = tempfile.mkdtemp(prefix="orvado-first-picture-")
    try:
        template = os.path.join(work, "template")
        shutil.copytree(os.path.join(build, "disk"), template)
        with open(os.path.join(ROOT, "scripts", "sample-orvado.ini")) as f:
            ini = f.read().replace("@LIVE@", url + "index.m3u8")
        with open(os.path.join(template, "ProgramFiles", "orvado.ini"), "w") as f:
            f.write(ini)
        command = [os.path.join(build, "orvado-emu"), "--template", template, "--keys", "1s:1,12s:exit,12500ms:exit",
                   os.path.join(build, "Orvado.tap")]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        key = start = picture = None
        for line in process.stdout:
            now = time.monotonic()
            if key is None and "key 0x10001 consumed by the TAP" in line:
                key = now
            elif key is not None and picture is None and "Appl_StartPlaybackMedia: playing" in line:
                start = now
            elif start is not None and picture is None and re.search(r"Player: .*: first picture", line):
                picture = now
        process.wait()
        if None in (key, start, picture):
            raise RuntimeError("no picture in this run")
        return start - key, picture - key
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    build = os.path.abspath(argv[1]) if len(argv) > 1 else os.path.join(ROOT, "build")
    runs = int(argv[2]) if len(argv) > 2 else 3
    server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "hlssource", "hlssource.py"), "--port", "0",
                               "--mode", "live", "--segment-seconds", "2", "--video", "real", "--stop-after", "300"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline()
        if not line.startswith("serving "):
            sys.stderr.write("first_picture.py: the HLS test source did not start\n")
            return 1
        url = line.split()[1]
        results = [one_run(build, url) for _ in range(runs)]
    finally:
        server.terminate()
        server.wait()
    starts = sorted(r[0] for r in results)
    pictures = sorted(r[1] for r in results)
    print("key to player start: %.2f s; key to first decoded picture on screen: %.2f s (median of %d runs; "
          "the picture follows the start by %.0f ms)" % (starts[len(starts) // 2], pictures[len(pictures) // 2], runs,
                                                        1000 * (pictures[len(pictures) // 2] - starts[len(starts) // 2])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
