#!/usr/bin/env bash
# The whole ctest suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (ORVADO_SANITIZE) in build-asan/. Any report
# fails the test it happens in. Extra arguments go to ctest (e.g. -R text).
# The same run counts the lines of app/ and lib/ that the tests reach
# (ORVADO_COVERAGE), and gcovr prints them per file and in all.
# Leak checking is off: the TAP keeps its fonts to the end by design, and the
# emulator's own ledger (emu::liveBlocks) already checks the TAP's blocks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" --preset asan -DORVADO_COVERAGE=ON >/dev/null
ninja -C "$root/build-asan" -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$root/build-asan"
find . -name '*.gcda' -delete
ctest --output-on-failure -j2 --timeout 900 "$@"

echo "== line coverage of app/ and lib/ (at ${SECONDS} s)"
gcovr --root "$root" --filter "$root/app/" --filter "$root/lib/" --object-directory "$root/build-asan" \
  --gcov-ignore-parse-errors --sort-percentage --print-summary "$root/build-asan" 2>/dev/null |
  grep -vE '^-+$' || echo "coverage: gcovr found no counts"
