#!/usr/bin/env bash
# Instructions of the package's wget on the receiver's processor: one
# playlist fetch and one 1 MB chunk, over HTTPS and over HTTP, counted under
# qemu-mipsel -cpu 24Kf by the instruction-counting plugin of Debian's qemu
# source (tests/plugin/insn.c), as scripts/fonts-mips-insns.sh does. HTTPS
# runs twice: with the package's settings (Debian's authorities in a folder
# looked up by name, ChaCha20-Poly1305 first) and as packages before them
# did (one bundle file of every authority, OpenSSL's default order, which
# takes AES-GCM). From those, the wget's instructions per minute of a stream
# at 8 Mbit/s, with a playlist fetch every 3 seconds and chunks of
# SECONDS seconds, and its share of a 400-MHz core at one instruction per
# cycle. The TAP, the shell and its tools are not counted.
#   scripts/wget-mips-insns.sh [SECONDS]     (default 6)
# The newest out/orvado-*.tar.gz is measured (scripts/package.sh makes it).
# The qemu source is fetched once into ORVADO_SOURCE_CACHE (default
# /var/cache/orvado/src), outside the repository.
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=scripts/loopback-tls.sh
. "$root/scripts/loopback-tls.sh"
seconds="${1:-6}"

plugin="$("$root/scripts/qemu-insn-plugin.sh")"

package="$(ls -t "$root"/out/orvado-*.tar.gz 2>/dev/null | grep -v -- '-sources' | head -n 1 || true)"
[ -n "$package" ] || { echo "wget-mips-insns: no out/orvado-*.tar.gz: run scripts/package.sh" >&2; exit 1; }
work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
tar -C "$work" -xzf "$package"
settings="$(echo "$work"/orvado-*/ProgramFiles/Settings/orvado)"
wget="$(echo "$work"/orvado-*/ProgramFiles/wget)"

# A test authority and a server certificate for 127.0.0.1, an HTTP server
# and a TLS front for it.
test_ca "$work"
mkdir -p "$work/www"
printf '#EXTM3U\n#EXT-X-TARGETDURATION:%s\n#EXT-X-MEDIA-SEQUENCE:1\n' "$seconds" >"$work/www/index.m3u8"
for n in 1 2 3; do printf '#EXTINF:%s.0,\nv0_%s.ts\n' "$seconds" "$n" >>"$work/www/index.m3u8"; done
head -c 1048576 /dev/urandom >"$work/www/chunk.ts"
http_port="$(free_port)"
(cd "$work/www" && exec python3 -m http.server "$http_port" --bind 127.0.0.1) >/dev/null 2>&1 &
pids+=($!)
https_port="$(free_port)"
tls_front "$https_port" "$work"
pids+=("$tls_pid")

# The receiver's files as the wget finds them by itself under /mnt/hd, named
# here through the variables that stand for those places: its wgetrc, the
# owner's own authorities (ssl/cert.pem, here the test's) and OpenSSL's
# settings. "before": every authority in one bundle file, no settings.
sed "s#/mnt/hd/ProgramFiles/Settings/orvado#$settings#" "$settings/wgetrc" >"$work/wgetrc"
cat "$settings"/ssl/certs/* "$work/ca.pem" >"$work/bundle.crt"
printf 'ca_certificate = %s\n' "$work/bundle.crt" >"$work/wgetrc.before"
count() { # SETTINGS URL: the instructions of one fetch
  local env=(env -u SSL_CERT_DIR -u OPENSSL_CONF)
  if [ "$1" = now ]; then
    env+=(WGETRC="$work/wgetrc" SSL_CERT_FILE="$work/ca.pem" OPENSSL_CONF="$settings/ssl/openssl.cnf")
  else
    env+=(WGETRC="$work/wgetrc.before" SSL_CERT_FILE=/nonexistent OPENSSL_CONF=/nonexistent)
  fi
  rm -f "$work/got"
  "${env[@]}" qemu-mipsel -cpu 24Kf -plugin "$plugin,inline=on" -d plugin "$wget" -q -T20 -t1 -O "$work/got" "$2" \
    2>&1 >/dev/null | awk '/^insns: / { n += $2 } END { if (n == 0) exit 1; print n }'
  cmp -s "$work/got" "$work/www/${2##*/}" || { echo "wget-mips-insns: the fetch of $2 failed" >&2; exit 1; }
}
https="https://127.0.0.1:$https_port"
http="http://127.0.0.1:$http_port"
list_before=$(count before "$https/index.m3u8")
chunk_before=$(count before "$https/chunk.ts")
list_now=$(count now "$https/index.m3u8")
chunk_now=$(count now "$https/chunk.ts")
list_http=$(count now "$http/index.m3u8")
chunk_http=$(count now "$http/chunk.ts")

awk -v s="$seconds" -v lb="$list_before" -v cb="$chunk_before" -v ln="$list_now" -v cn="$chunk_now" \
  -v lh="$list_http" -v ch="$chunk_http" '
  function minute(list, chunk) {
    # 8 Mbit/s is 60 MB a minute: a fetch (with its handshake) for every
    # chunk, and every byte at what a byte of the 1 MB chunk costs.
    chunks = 60 / s; perByte = (chunk - list) / 1048576
    return 20 * list + chunks * list + 60 * 1048576 * perByte
  }
  function row(what, l, c) {
    m = minute(l, c)
    printf "%-22s %14d %14d %10.1f %16.0f %7.1f%%\n", what, l, c, (c - l) / 1048576, m, 100 * m / (400e6 * 60)
  }
  BEGIN {
    printf "%-22s %14s %14s %10s %16s %8s\n", "wget under qemu", "playlist", "1 MB chunk", "per byte", "per minute", "core"
    row("HTTPS as before", lb, cb)
    row("HTTPS now", ln, cn)
    row("HTTP", lh, ch)
    printf "HTTPS playlist fetch now: %.0f%% of before\n", 100 * ln / lb
    printf "(instructions; per minute: a stream at 8 Mbit/s, a playlist fetch every 3 s and a chunk every %s s;\n", s
    printf " core: the share of a 400-MHz core at one instruction per cycle; the TAP, shell and tools not counted)\n"
  }'
