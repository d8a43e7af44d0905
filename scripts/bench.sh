#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints its ratio against what a user
# would pick instead, measured in the same run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" strtoutf8_bench fonts_bench
"$root/build/tests/strtoutf8_bench"
"$root/build/tests/fonts_bench"
# Instructions per line of the font benchmark, when valgrind is there.
if command -v valgrind >/dev/null; then "$root/scripts/fonts-callgrind.sh" 300; fi
# The TAP's budgets on the receiver (docs/budgets.md): size, static data and
# stack from the MIPS build, peak TAP_MemAlloc from the MIPS TAP under qemu.
"$root/scripts/build-mips.sh" Orvado test_budget
python3 "$root/scripts/budgets.py" "$root/build-mips"
(cd "$root/build-mips" && ctest -R '^budget\.' -V | grep -o 'budget: .*')
