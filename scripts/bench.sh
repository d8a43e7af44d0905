#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints its ratio against what a user
# would pick instead, measured in the same run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# --soak: only the long live-HLS soak (SOAK_MINUTES, default 10).
# --evening: the evening soak: two hours of 1-second segments at 4 Mbit/s,
#   a fault every ten minutes (SOAK_MINUTES shortens it).
if [ "${1:-}" = "--soak" ]; then "$root/scripts/build.sh" && exec python3 "$root/tests/bench/hls_bench.py" soak; fi
if [ "${1:-}" = "--evening" ]; then "$root/scripts/build.sh" && exec python3 "$root/tests/bench/hls_bench.py" soak --evening; fi
"$root/scripts/build.sh" strtoutf8_bench fonts_bench
"$root/scripts/build.sh" player_bench orvado-emu
"$root/build/tests/strtoutf8_bench"
"$root/build/tests/fonts_bench"
# Instructions per line of the font benchmark, when valgrind is there.
if command -v valgrind >/dev/null; then "$root/scripts/fonts-callgrind.sh" 300; fi
# The same on the receiver's processor: MIPS instructions per line under
# qemu-mipsel, ours against Debian's mipsel FreeType.
"$root/scripts/fonts-mips-insns.sh" 200
"$root/build/tests/player_bench"
python3 "$root/tests/bench/first_picture.py" "$root/build"
# Live HLS: key to picture against streamlink and ffmpeg, and what a step costs.
"$root/scripts/build.sh" Orvado orvado-emu disk hls_step_bench
python3 "$root/tests/bench/hls_bench.py" key-to-picture
"$root/build/tests/hls_step_bench"
"$root/tests/bench/hls_idle_callgrind.sh" "$root/build/tests/hls_step_bench" 500

echo "== web front end: key-to-picture latency and frame rate in chromium, CPU cost"
"$root/scripts/build.sh" orvado-emu Orvado disk
ORVADO_SOURCE_DIR="$root" ORVADO_BINARY_DIR="$root/build" node --test "$root/tests/browser/page.test.mjs" >"$root/out/web-bench-test.log" 2>&1 ||
  { cat "$root/out/web-bench-test.log"; exit 1; }
echo "browser test (out/web-figures.json): $(tr -d '\n ' <"$root/out/web-figures.json")"
ORVADO_SOURCE_DIR="$root" ORVADO_BINARY_DIR="$root/build" node "$root/tests/browser/cpu-bench.mjs"
# The TAP's budgets on the receiver (docs/budgets.md): size, static data and
# stack from the MIPS build, peak TAP_MemAlloc from the emulator's ledger.
"$root/scripts/build-mips.sh" Orvado
python3 "$root/scripts/budgets.py" "$root/build-mips"
"$root/scripts/build.sh" test_budget
"$root/build/tests/test_budget" | grep -o 'budget: .*'
