#!/usr/bin/env bash
# Builds the receiver's side into build-mips/ with Debian's mipsel cross
# compiler: Orvado.tap with its ELF and budget checks. Every compile records
# its stack use and calls (-fcallgraph-info=su) for the stack budget.
# The emulator core and the test programs build and pass for mipsel under
# qemu-mipsel too, but the core now decodes video with FFmpeg, which makes no
# sense on the receiver's CPU: until the core can leave its player out
# (ORVADO_PLAYER=OFF), this build is the TAP alone (ORVADO_TAP_ONLY).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build-mips" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mipsel-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fcallgraph-info=su" \
  -DORVADO_TAP_ONLY=ON -DORVADO_BENCH=OFF -DORVADO_PLAYER=OFF -DORVADO_WEB=OFF \
  -DORVADO_PC_TAP="$root/build/Orvado.tap" >/dev/null
ninja -C "$root/build-mips" -j"$(nproc)" "$@"
