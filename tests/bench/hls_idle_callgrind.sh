#!/usr/bin/env bash
# Instructions of the event handler per idle event between pipeline steps,
# counted by callgrind, beside those per idle event in the channel menu.
# Usage: hls_idle_callgrind.sh HLS_STEP_BENCH EVENTS
set -euo pipefail
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.%p" "$1" --callgrind "$2" >/dev/null 2>&1
# The worker's dumps, in order: .1 the menu, .2 between pipeline steps.
menu=$(grep -h '^summary:' "$out"/cg.*.1 | awk '{ print $2 }')
streaming=$(grep -h '^summary:' "$out"/cg.*.2 | awk '{ print $2 }')
echo "instructions per idle event: between pipeline steps $((streaming / $2)), in the channel menu $((menu / $2))" \
  "(callgrind, $2 events each; ratio $(awk "BEGIN { printf \"%.2f\", $streaming / $menu }")x)"
