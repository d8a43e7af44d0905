#!/usr/bin/env bash
# Instructions per line of FMUC_PutString and of FreeType's cache path,
# counted by callgrind around the drawing calls only, and their ratio.
#   scripts/fonts-callgrind.sh [LINES]     (default 300 lines of each kind;
#                                          FONTS_BENCH=path measures another build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
lines="${1:-300}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.%p" \
  "${FONTS_BENCH:-$root/build/tests/fonts_bench}" --callgrind "$lines" >"$out/log" 2>&1 || { cat "$out/log"; exit 1; }
# Each dump names its kind ("ours/solid/latin") and holds its total.
for f in "$out"/cg.*.*; do
  name=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
  total=$(sed -n 's/^totals: //p' "$f")
  echo "$name $total"
done >"$out/totals"
printf "%-16s %14s %14s %8s\n" "per line" "FMUC_PutString" "FreeType" "ratio"
awk -v lines="$lines" '
  { split($1, k, "/"); n[$1] = $2 / lines; kinds[k[2] "/" k[3]] = 1 }
  END {
    for (kind in kinds) {
      o = n["ours/" kind]; t = n["freetype/" kind]
      if (o > 0) printf "%-16s %14.0f %14.0f %7.2fx\n", kind, o, t, t / o
    }
  }' "$out/totals" | sort
echo "(callgrind instructions; ratio FreeType / ours, goal: at least 2x)"
