#!/usr/bin/env bash
# Builds qemu's instruction-count plugin (tests/plugin/insn.c) from Debian's
# qemu source, the same version as the qemu-mipsel that runs the programs,
# into build-mips/qemu-plugins/, and prints its path. The source is fetched
# once into ORVADO_SOURCE_CACHE (default /var/cache/orvado/src).
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${ORVADO_SOURCE_CACHE:-/var/cache/orvado/src}"
read -r _ _ qemu_src < <("$root/scripts/debian-source.sh" "$cache" qemu | tail -n 1)
plugin="$root/build-mips/qemu-plugins/libinsn.so"
if [ ! -f "$plugin" ] || [ "$qemu_src/tests/plugin/insn.c" -nt "$plugin" ]; then
  mkdir -p "$(dirname "$plugin")"
  # shellcheck disable=SC2046
  gcc -O2 -shared -fPIC -I"$qemu_src/include/qemu" $(pkg-config --cflags glib-2.0) \
    "$qemu_src/tests/plugin/insn.c" -o "$plugin" $(pkg-config --libs glib-2.0)
fi
echo "$plugin"
