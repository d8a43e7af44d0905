#!/usr/bin/env bash
# Instructions per drawn line on the receiver's processor: the font
# benchmark's line (tests/bench/fonts_lines.h) drawn by FMUC_PutString and by
# FreeType's cache (Debian's mipsel libfreetype), built for mipsel and counted
# under qemu-mipsel by the instruction-counting plugin of Debian's qemu source
# (tests/plugin/insn.c). Each kind runs with 0 lines and with LINES lines; the
# difference, divided by LINES, is one line's work. Two more make only the
# receiver's calls of each side's line (the field's fill, the save and the
# restore of its rectangle), which both renderers make alike: the emulator
# does them with plain word stores and copies, which on MIPS cost about as
# much as our whole blend, so the renderers' own work is shown without them.
# Both sides' code (the library, and the FreeType side's glue) is built for
# MIPS32 release 1, as the receiver's TAP is (tests/CMakeLists.txt).
#   scripts/fonts-mips-insns.sh [LINES]    (default 200)
# The qemu source is fetched once into ORVADO_SOURCE_CACHE
# (default /var/cache/orvado/src), outside the repository.
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
lines="${1:-200}"
mips="$root/build-mips"

plugin="$("$root/scripts/qemu-insn-plugin.sh")"
"$root/scripts/build-mips.sh" fonts_count disk

sysroot="${ORVADO_MIPSEL_SYSROOT:-/opt/orvado/mipsel-sysroot}"
# Every qemu process (the sandbox forks) prints its own count at its end.
count() {
  env GCONV_PATH="$sysroot/usr/lib/mipsel-linux-gnu/gconv" qemu-mipsel -L /usr/mipsel-linux-gnu \
    -plugin "$plugin,inline=on" -d plugin "$mips/tests/fonts_count" "$1" "$2" 2>&1 >/dev/null |
    awk '/^insns: / { n += $2 } END { if (n == 0) exit 1; print n }'
}

kinds=()
for script in latin greek cyrillic marks; do kinds+=("solid/$script" "over/$script"); done
kinds+=("photo/latin")
printf "%-14s %10s %10s %7s   %10s %10s %10s %7s\n" "per line" "ours" "FreeType" "ratio" "calls" "ours-own" "FT-own" "ratio"
table=$(for kind in "${kinds[@]}"; do
  for side in ours freetype calls ourcalls; do
    base=$(count "$side/$kind" 0) || { echo "fonts_count $side/$kind failed under qemu-mipsel" >&2; exit 1; }
    full=$(count "$side/$kind" "$lines") || { echo "fonts_count $side/$kind failed under qemu-mipsel" >&2; exit 1; }
    echo "$side $(((full - base) / lines))"
  done | awk -v kind="$kind" '
    { n[$1] = $2 }
    END {
      o = n["ours"]; t = n["freetype"]; c = n["calls"]; oc = n["ourcalls"]
      printf "%-14s %10d %10d %6.2fx   %10d %10d %10d %6.2fx\n", kind, o, t, t / o, c, o - oc, t - c, (t - c) / (o - oc)
    }'
done)
echo "$table"
echo "$table" | awk '
  { whole = $4 + 0; own = $8 + 0
    if (NR == 1 || whole < lowWhole) lowWhole = whole
    if (NR == 1 || own < lowOwn) lowOwn = own }
  END { printf "lowest ratio: %.2fx for our own work (goal: at least 2x), %.2fx for whole lines\n", lowOwn, lowWhole }'
echo "(instructions per line under qemu-mipsel, $lines lines of each; ratio FreeType / ours; both sides' code"
echo " around Debian's libfreetype is built for MIPS32 release 1, as the receiver's TAP is."
echo " \"own\" leaves out each side's receiver calls, for rectangles as wide as its own line: the renderers' work."
echo " \"calls\" are the receiver's fill, save and restore of FreeType's line, which both make alike; the"
echo " emulator does them with the C library's word copies and fills, at about 2 instructions a pixel.)"
