#!/usr/bin/env bash
# Builds the receiver's side into build-mips/ with Debian's mipsel cross
# compiler: Orvado.tap, and (with no arguments) the emulator core, the
# firmware objects and the test programs, which run under qemu-mipsel. The
# FFmpeg player and the web front end make no sense on the receiver's CPU and
# are left out. Every compile records its stack use and calls
# (-fcallgraph-info=su) for the stack budget.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-mips" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fcallgraph-info=su" \
  -DORVADO_BENCH=OFF -DORVADO_PLAYER=OFF -DORVADO_WEB=OFF \
  -DORVADO_PC_TAP="$root/build/Orvado.tap" >/dev/null
ninja -C "$root/build-mips" -j"$(nproc)" "$@"
