#!/usr/bin/env bash
# Builds the receiver's side into build-mips/ with Debian's mipsel cross
# compiler: Orvado.tap with its ELF and budget checks. Every compile records
# its stack use and calls (-fcallgraph-info=su) for the stack budget.
# The emulator core and the test programs are built for mipsel too and run
# under qemu-mipsel (scripts/test.sh), without FFmpeg's decoding player and
# the web front end, which make no sense on the receiver's CPU.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" --preset mips -DORVADO_WERROR="$([ "${CI:-}" = true ] && echo ON || echo OFF)" >/dev/null
ninja -C "$root/build-mips" -j"$(nproc)" "$@"
