#!/usr/bin/env bash
# Installs what building and testing Orvado needs on Debian 12, when missing.
set -euo pipefail
packages=(
  g++ g++-12-multilib clang libclang-rt-14-dev cmake ninja-build pkg-config binutils
  libgtest-dev libbenchmark-dev libfreetype-dev libpng-dev
  fonts-crosextra-carlito fonts-dejavu-core
  wget python3 procps sysvinit-utils valgrind
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev ffmpeg streamlink
  clang-format clang-tidy
  g++-mipsel-linux-gnu qemu-user libglib2.0-dev
  libcpp-httplib-dev libmicrohttpd-dev libturbojpeg0-dev chromium
  # The receiver's wget, built from Debian's sources (scripts/build-receiver-wget.sh),
  # the package's CA bundle, and the HTTPS of its tests.
  dpkg-dev make perl ca-certificates openssl socat
  # Line coverage of app/ and lib/ in the sanitizer run.
  gcovr
)
# Node and npm for the browser tests, unless the machine has them already.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
# g++-multilib conflicts with every cross compiler only for its /usr/include/asm
# link; the 32-bit build names that folder itself (scripts/test.sh).
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The receiver build links against mipsel libraries of its own.
"$(dirname "$0")/mips-sysroot.sh"
# The busybox tools of the TAP's shell in the emulator's sandbox.
"$(dirname "$0")/receiver-busybox.sh"

# playwright-core for the browser tests, at the version the lock file names;
# it drives Debian's chromium, so it downloads no browser.
browser_tests="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
if [ ! -f "$browser_tests/node_modules/.package-lock.json" ] ||
   [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error)
fi
