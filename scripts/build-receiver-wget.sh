#!/usr/bin/env bash
# Builds the receiver's own wget: GNU wget with TLS (OpenSSL) and gzip
# (zlib), linked statically against musl, everything compiled for MIPS32
# release 1 from Debian's source packages, so that it needs nothing from the
# firmware's C library. musl is patched to keep the thread pointer in memory
# (tools/receiver-wget/), so the wget holds no rdhwr and makes no
# set_thread_area call, both of which older kernels lack.
#
# The result is cached in a folder keyed by the source versions, this script
# and tools/receiver-wget/ (ORVADO_CACHE, default ~/.cache/orvado), because a
# cold build takes minutes; the script prints that folder. It holds:
#   wget            the static MIPS executable
#   licences/       the licence of each part
#   SOURCES.txt     the Debian source packages and versions it was built from
#   sources/        the Debian source packages as apt-get source fetched them
#
# Its system wgetrc is compiled in as /mnt/hd/ProgramFiles/Settings/orvado/wgetrc,
# where the package puts the CA bundle's path, so the TAP's commands need no
# option of their own for HTTPS.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${ORVADO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvado}"
packages=(musl zlib openssl wget)
settings=/mnt/hd/ProgramFiles/Settings/orvado

sources="$("$root/scripts/debian-source.sh" --keep "$cache/src" "${packages[@]}")"
toolchain="$(echo "$sources" | cut -d' ' -f1,2; mipsel-linux-gnu-gcc --version | head -n 1)"
recipe="$root/tools/receiver-wget"
helpers="$recipe/r1_helpers.c"
musl_patch="$recipe/musl-thread-pointer-in-memory.patch"
key="$( (echo "$toolchain"; cat "$0" "$recipe"/*) | sha256sum | cut -c1-16)"
out="$cache/receiver-wget-$key"
if [ -x "$out/wget" ]; then
  echo "$out"
  exit 0
fi
src() { echo "$sources" | awk -v n="$1" '$1 == n { print $3 }'; }

jobs="$(nproc)"
# Each part is built in a folder of the sources' versions (kept, for the next
# change of the recipe) and marked when
# done with a digest of its recipe and of the parts before it, so a build
# that fails part way goes on from there the next time.
work="$cache/receiver-wget-$(echo "$toolchain" | sha256sum | cut -c1-16).build"
mkdir -p "$work"
sysroot="$work/sysroot"
arch_flags="-march=mips32 -mno-mips16"
log="$work/build.log"
step() { echo "receiver wget: $*" >&2; }
fail() {
  tail -n 40 "$log" >&2
  echo "receiver wget: the build failed; the log is above, all of it in $log" >&2
  exit 1
}
# Builds part $1 with the commands of function $2 in a fresh copy of its
# sources, unless an earlier run finished it.
chain=""
part() {
  chain="$( (echo "$chain $arch_flags"; declare -f "$2"; [ -z "${3:-}" ] || cat "$3") | sha256sum | cut -c1-16)"
  [ "$(cat "$work/$1.done" 2>/dev/null)" = "$chain" ] && return 0
  step "$1 $(src "$1")"
  rm -rf "${work:?}/$1" "$work/$1.done"
  cp -a "$(src "$1")" "$work/$1"
  (cd "$work/$1" && "$2") >>"$log" 2>&1 || fail
  echo "$chain" >"$work/$1.done"
}

build_musl() {
  patch -p1 <"$musl_patch" &&
  ./configure --target=mipsel-linux-gnu CROSS_COMPILE=mipsel-linux-gnu- CC=mipsel-linux-gnu-gcc \
    CFLAGS="$arch_flags -O2" --prefix="$sysroot" --disable-shared &&
    make -j"$jobs" && make install
}
part musl build_musl "$musl_patch"
# Linux's user-space headers, for the few programs that include them.
mkdir -p "$sysroot/include"
cp -r /usr/mipsel-linux-gnu/include/linux /usr/mipsel-linux-gnu/include/asm \
  /usr/mipsel-linux-gnu/include/asm-generic "$sysroot/include/"
export REALGCC=mipsel-linux-gnu-gcc
cc="$sysroot/bin/musl-gcc"
cflags="$arch_flags -Os -ffunction-sections -fdata-sections"

build_zlib() {
  CC="$cc" CFLAGS="$cflags" ./configure --static --prefix="$sysroot" && make -j"$jobs" libz.a && make install
}
part zlib build_zlib

# Only what TLS clients need: no engines, no loadable modules, no legacy
# ciphers. OpenSSL's MIPS32 assembler (big numbers, AES, SHA-1 and SHA-256)
# picks its release-1 code for -march=mips32 (the check below reads every
# instruction); it takes some 8% off a handshake.
build_openssl() {
  CC="$cc" ./Configure linux-mips32 $arch_flags -Os no-shared no-threads no-module no-dso no-engine \
    no-afalgeng no-async no-tests no-comp no-legacy no-ssl3 no-dtls no-srp no-srtp no-sctp no-ts no-cms no-cmp \
    no-gost no-idea no-mdc2 no-rc5 no-seed no-whirlpool no-sm2 no-sm3 no-sm4 no-camellia no-aria no-siphash \
    no-ui-console no-weak-ssl-ciphers --prefix="$sysroot" --libdir=lib --openssldir="$settings/ssl" &&
    make -j"$jobs" build_libs && make install_dev
}
part openssl build_openssl

# GCC's helpers that Debian builds for release 2 (tools/receiver-wget/), in
# a library that the link takes before GCC's own.
build_wget() {
  "$cc" $arch_flags -O2 -c "$helpers" -o r1_helpers.o && mipsel-linux-gnu-ar rcs "$sysroot/lib/libr1helpers.a" r1_helpers.o &&
  CC="$cc" CFLAGS="$cflags" LDFLAGS="-static -Wl,--gc-sections" LIBS="-lr1helpers" \
    PKG_CONFIG_LIBDIR="$sysroot/lib/pkgconfig" \
    PKG_CONFIG_PATH="" ./configure --host=mipsel-linux-gnu --prefix=/usr --sysconfdir="$settings" \
    --with-ssl=openssl --with-libssl-prefix="$sysroot" --with-zlib --without-libpsl --disable-nls --disable-iri \
    --disable-pcre --disable-pcre2 --without-libuuid --without-metalink --without-cares --disable-rpath \
    --disable-xattr --disable-threads &&
    make -j"$jobs" -C lib && make -j"$jobs" -C src wget
}
part wget build_wget "$helpers"
mipsel-linux-gnu-strip -o "$work/wget.bin" "$work/wget/src/wget"
# The linker marks the program release 2 for GCC's objects (see the script);
# the check that follows reads every instruction.
python3 "$recipe/mark_release1.py" "$work/wget.bin"
python3 "$root/tests/receiver/tap_elf_check.py" --isa-only "$work/wget.bin" >>"$log" 2>&1 || fail

staging="$work/out"
rm -rf "$staging"
mkdir -p "$staging/licences"
cp "$work/wget.bin" "$staging/wget"
for p in "${packages[@]}"; do cp "$(src "$p")/debian/copyright" "$staging/licences/$p.copyright"; done
cp "$(src wget)/COPYING" "$staging/licences/wget.COPYING"
cp "$(src musl)/COPYRIGHT" "$staging/licences/musl.COPYRIGHT"
cp "$(src openssl)/LICENSE.txt" "$staging/licences/openssl.LICENSE.txt"
mkdir -p "$staging/sources"
for p in "${packages[@]}"; do cp "$(src "$p").apt-source"/* "$staging/sources/"; done
{
  echo "The receiver's wget was built from these Debian source packages:"
  echo "$sources" | awk '{ printf "  %s %s\n", $1, $2 }'
  echo "with Debian's mipsel-linux-gnu cross compiler ($(mipsel-linux-gnu-gcc --version | head -n 1)),"
  echo "for MIPS32 release 1 ($arch_flags), linked statically, with GCC's helper routines"
  echo "except the byte swaps and the double to 64-bit conversion, which are Orvado's own"
  echo "(tools/receiver-wget/r1_helpers.c) because Debian builds those for release 2."
  echo "musl carries Orvado's patch tools/receiver-wget/musl-thread-pointer-in-memory.patch,"
  echo "which keeps the thread pointer in memory (no rdhwr, no set_thread_area)."
} >"$staging/SOURCES.txt"
rm -rf "$out"
mv "$staging" "$out"
echo "$out"
