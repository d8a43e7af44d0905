#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for the given number of seconds on a copy of its kept corpus. A finding
# fails the run; the input that caused it is left in build-fuzz/findings/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
"$root/scripts/setup.sh"
cmake -S "$root" --preset fuzz >/dev/null
targets=$(cd "$root/tests/fuzz" && ls *_fuzz.cpp | sed 's/_fuzz.cpp$//')
ninja -C "$root/build-fuzz" -j"$(nproc)" $(for t in $targets; do echo "fuzz_$t"; done)
mkdir -p "$root/build-fuzz/findings"
status=0
for t in $targets; do
  work="$root/build-fuzz/corpus/$t"
  mkdir -p "$work"
  cp -r "$root/tests/fuzz/corpus/$t/." "$work/" 2>/dev/null || true
  echo "-- fuzz_$t for ${seconds}s"
  if ! "$root/build-fuzz/tests/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="$root/build-fuzz/findings/$t-" -print_final_stats=0 "$work" 2>"$root/build-fuzz/findings/$t.log"; then
    echo "fuzz_$t found a fault:"; tail -40 "$root/build-fuzz/findings/$t.log"; status=1
  else
    grep -E "^(Done|#[0-9]+ +DONE)" "$root/build-fuzz/findings/$t.log" | tail -1 || true
  fi
done
exit $status
