#!/usr/bin/env bash
# Builds the TAP, the emulator, the tools and the tests into build/. On CI a
# warning fails the build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" --preset pc -DORVADO_WERROR="$([ "${CI:-}" = true ] && echo ON || echo OFF)" >/dev/null
ninja -C "$root/build" -j"$(nproc)" "$@"
