#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints its ratio against what a user
# would pick instead, measured in the same run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" strtoutf8_bench fonts_bench
"$root/scripts/build.sh" player_bench orvado-emu
"$root/build/tests/strtoutf8_bench"
"$root/build/tests/fonts_bench"
# Instructions per line of the font benchmark, when valgrind is there.
if command -v valgrind >/dev/null; then "$root/scripts/fonts-callgrind.sh" 300; fi
"$root/build/tests/player_bench"
python3 "$root/tests/bench/first_picture.py" "$root/build"
# The TAP's budgets on the receiver (docs/budgets.md): size, static data and
# stack from the MIPS build, peak TAP_MemAlloc from the emulator's ledger.
"$root/scripts/build-mips.sh" Orvado
python3 "$root/scripts/budgets.py" "$root/build-mips"
"$root/scripts/build.sh" test_budget
"$root/build/tests/test_budget" | grep -o 'budget: .*'
