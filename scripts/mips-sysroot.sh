#!/usr/bin/env bash
# Fills the sysroot of the receiver build with the mipsel libraries that the
# emulator and the tests link against (Debian's mipsel architecture). The
# packages are unpacked rather than installed: multi-arch installs demand the
# same version on both architectures, and the security archive often carries
# a newer PC build than mipsel one. The C and C++ runtimes come from the cross
# toolchain's own sysroot, /usr/mipsel-linux-gnu.
set -euo pipefail
dest="${ORVADO_MIPSEL_SYSROOT:-/opt/orvado/mipsel-sysroot}"
packages=(libfreetype-dev libfreetype6 libpng-dev libpng16-16 zlib1g zlib1g-dev
          libbrotli1 libbrotli-dev libgtest-dev libc6
          libcpp-httplib-dev libcpp-httplib0.11 libssl-dev libssl3)
stamp="$dest/.packages"
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ] && exit 0

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  $sudo_cmd dpkg --add-architecture mipsel
  $sudo_cmd apt-get update -qq
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
echo "Unpacking mipsel libraries into $dest"
(cd "$work" && apt-get download -qq "${packages[@]/%/:mipsel}" 2>/dev/null) || {
  $sudo_cmd apt-get update -qq
  (cd "$work" && apt-get download -qq "${packages[@]/%/:mipsel}")
}
$sudo_cmd rm -rf "$dest"
$sudo_cmd mkdir -p "$dest"
for deb in "$work"/*.deb; do
  case "$(basename "$deb")" in
    # Only the character-set modules of the C library (iconv's): the C
    # library itself is the cross toolchain's.
    libc6_*)
      dpkg-deb -x "$deb" "$work/libc6"
      $sudo_cmd mkdir -p "$dest/usr/lib/mipsel-linux-gnu"
      $sudo_cmd cp -r "$work/libc6/usr/lib/mipsel-linux-gnu/gconv" "$dest/usr/lib/mipsel-linux-gnu/" ;;
    *) $sudo_cmd dpkg-deb -x "$deb" "$dest" ;;
  esac
done
echo "${packages[*]}" | $sudo_cmd tee "$stamp" >/dev/null
