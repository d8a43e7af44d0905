#!/usr/bin/env bash
# Instructions of the whole receiver box per minute of a live stream at
# 8 Mbit/s (6-second segments of 6 MB), over HTTPS and over HTTP: the
# package's TAP in the receiver build of the emulator, its busybox shell and
# tools and the package's wget, all MIPS under qemu-mipsel -cpu 24Kf, each
# process counted by our plugin (tools/qemu-count/box_count.c, built here
# against Debian's qemu source as scripts/qemu-insn-plugin.sh builds its).
# The emulator's own count holds the TAP and the emulator's stand-in for
# the firmware (its player reads every byte); it is also given for a minute
# with no channel, the idle box. The share is of a 400-MHz core at one
# instruction per cycle.
#   scripts/box-mips-insns.sh [SECONDS]     (default 60 of streaming)
# Needs scripts/build-mips.sh, scripts/package.sh and the MIPS programs
# started by the kernel (scripts/mips-binfmt.sh), as the box's test does.
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=scripts/loopback-tls.sh
. "$root/scripts/loopback-tls.sh"
seconds="${1:-60}"

cache="${ORVADO_SOURCE_CACHE:-/var/cache/orvado/src}"
read -r _ _ qemu_src < <("$root/scripts/debian-source.sh" "$cache" qemu | tail -n 1)
plugin="$root/build-mips/qemu-plugins/libbox_count.so"
mkdir -p "$(dirname "$plugin")"
gcc -O2 -shared -fPIC -Wall -Wextra -I"$qemu_src/include/qemu" "$root/tools/qemu-count/box_count.c" -o "$plugin"
package="$(ls -t "$root"/out/orvado-*.tar.gz 2>/dev/null | grep -v -- '-sources' | head -n 1 || true)"
[ -n "$package" ] || { echo "box-mips-insns: no out/orvado-*.tar.gz: run scripts/package.sh" >&2; exit 1; }
emu="$root/build-mips/orvado-emu"
[ -x "$emu" ] || { echo "box-mips-insns: no $emu: run scripts/build-mips.sh" >&2; exit 1; }
work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${BOX_KEEP:-}" ] && echo "box-mips-insns: kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
tar -C "$work" -xzf "$package"
top="$(echo "$work"/orvado-*)"

test_ca "$work"
http_port="$(free_port)"
python3 "$root/tools/hlssource/hlssource.py" --port "$http_port" --mode live --window 5 --segment-seconds 6 \
  --segment-bytes 6000000 --bandwidths 8000000 --stop-after $((3 * seconds + 300)) >/dev/null 2>&1 &
pids+=($!)
https_port="$(free_port)"
tls_front "$https_port" "$work"
pids+=("$tls_pid")

# run NAME KEYS: the box on a disk of its own, as the box's test lays it
# out; prints the emulator's instructions and those of every other program.
run() {
  local disk="$work/$1" settings
  settings="$disk/ProgramFiles/Settings/orvado"
  mkdir -p "$disk/MediaFiles" "$disk/counts"
  cp -r "$top/ProgramFiles" "$disk"
  printf '[orvado]\ntvname1=Secure\ntvPL1=https://127.0.0.1:%s/index.m3u8\ntvname2=Plain\ntvPL2=http://127.0.0.1:%s/index.m3u8\n' \
    "$https_port" "$http_port" >"$settings/orvado.ini"
  cp "$work/ca.pem" "$settings/ssl/cert.pem"
  # Every program of the box, the emulator too, appends its count to one
  # file on the disk, the one place of the PC that the box's programs reach
  # (-E sets the environment of the emulator's guest, which its shell
  # passes on).
  cp "$plugin" "$disk/counts/box_count.so"
  env -u SSL_CERT_FILE -u SSL_CERT_DIR GCONV_PATH=/opt/orvado/mipsel-sysroot/usr/lib/mipsel-linux-gnu/gconv \
    qemu-mipsel -L /usr/mipsel-linux-gnu -cpu 24Kf -plugin "$plugin,out=$disk/counts/counts" \
    -E QEMU_CPU=24Kf -E QEMU_PLUGIN=/mnt/hd/counts/box_count.so \
    "$emu" --disk "$disk" --no-host-wget --keys "$2" --run "$((seconds + 2))s" "$top/ProgramFiles/Orvado.tap" \
    >"$work/$1.console" 2>&1 || { echo "box-mips-insns: the box ended badly:" >&2; tail -n 20 "$work/$1.console" >&2; exit 1; }
  # The emulator's processes (the sandbox forks) each count from the start:
  # their sum counts the start once more for every fork, a bound from above.
  awk -v emu="$emu" '$2 == emu { e += $1; next } $2 ~ /wget$/ { w += $1; wn++; next } { b += $1; bn++ }
    END { printf "%.0f %.0f %d %.0f %d\n", e, b, bn, w, wn }' "$disk/counts/counts"
}

read -r ie ib ibn iw iwn < <(run idle "")
read -r se sb sbn sw swn < <(run https "1s:1")
read -r he hb hbn hw hwn < <(run http "1s:2")
awk -v s="$seconds" -v ie="$ie" -v ib="$ib" -v ibn="$ibn" -v iw="$iw" -v iwn="$iwn" \
  -v se="$se" -v sb="$sb" -v sbn="$sbn" -v sw="$sw" -v swn="$swn" \
  -v he="$he" -v hb="$hb" -v hbn="$hbn" -v hw="$hw" -v hwn="$hwn" '
  function row(what, e, b, bn, w, wn) {
    f = 60 / (s + 2); t = (e + b + w) * f
    printf "%-18s %14.0f %14.0f %6.0f %14.0f %6.0f %15.0f %6.1f%%\n", what, e * f, b * f, bn * f, w * f, wn * f, t, \
      100 * t / (400e6 * 60)
  }
  BEGIN {
    printf "%-18s %14s %14s %6s %14s %6s %15s %7s\n", "box under qemu", "emulator+TAP", "shell+tools", "runs", "wget", "runs",
      "whole box", "core"
    row("idle (no channel)", ie, ib, ibn, iw, iwn)
    row("HTTPS 8 Mbit/s", se, sb, sbn, sw, swn)
    row("HTTP 8 Mbit/s", he, hb, hbn, hw, hwn)
    printf "(instructions and programs started, per minute; emulator+TAP: the TAP with the emulator that stands in for\n"
    printf " the firmware; core: the share of a 400-MHz core at one instruction per cycle)\n"
    printf "streaming over the idle box: HTTPS %.1f%%, HTTP %.1f%% of the core\n",
      100 * ((se + sb + sw) - (ie + ib + iw)) * 60 / (s + 2) / (400e6 * 60),
      100 * ((he + hb + hw) - (ie + ib + iw)) * 60 / (s + 2) / (400e6 * 60)
  }'
