#!/usr/bin/env bash
# Unpacks Debian's busybox for the PC (amd64) and the receiver build (mipsel)
# into /opt/orvado/busybox/<arch>: the sandbox gives the TAP's shell a root of
# busybox tools, as a receiver has. Unpacked, not installed, so the host's
# own busybox (if any) stays as it is. The dynamic build, not busybox-static:
# the static one's shell runs its own applets before any program on the PATH
# (so a tool left out would still run, and its wget would shadow the
# package's). The mipsel C library it needs comes along in <arch>/lib; the
# PC's own serves the amd64 build.
set -euo pipefail
dest="${ORVADO_BUSYBOX_DIR:-/opt/orvado/busybox}"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
download() {
  (cd "$work" && apt-get download -qq "$@" 2>/dev/null) || {
    $sudo_cmd apt-get update -qq
    (cd "$work" && apt-get download -qq "$@")
  }
}
for arch in amd64 mipsel; do
  version="$(apt-cache policy "busybox:$arch" | sed -n 's/^ *Candidate: //p')"
  stamp="$dest/$arch/.version"
  [ -x "$dest/$arch/busybox" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ] && continue
  rm -f "$work"/*.deb
  download "busybox:$arch"
  dpkg-deb -x "$work"/busybox_*_"$arch".deb "$work/$arch"
  $sudo_cmd rm -rf "$dest/$arch"
  $sudo_cmd mkdir -p "$dest/$arch"
  $sudo_cmd install -m 0755 "$work/$arch/bin/busybox" "$dest/$arch/busybox"
  if [ "$arch" = mipsel ]; then
    download libc6:mipsel
    dpkg-deb -x "$work"/libc6_*_mipsel.deb "$work/libc6"
    lib="$work/libc6/usr/lib/mipsel-linux-gnu"
    [ -f "$lib/ld.so.1" ] || lib="$work/libc6/lib/mipsel-linux-gnu"
    $sudo_cmd mkdir -p "$dest/$arch/lib/mipsel-linux-gnu"
    $sudo_cmd cp -L "$lib/ld.so.1" "$dest/$arch/lib/ld.so.1"
    $sudo_cmd cp -L "$lib/libc.so.6" "$lib/libresolv.so.2" "$dest/$arch/lib/mipsel-linux-gnu/"
  fi
  # Where each applet goes (bin/cat, usr/bin/wc, ...). Both architectures are
  # built from one configuration, so the PC's busybox can say it for both.
  "$dest/amd64/busybox" --list-full | $sudo_cmd tee "$dest/$arch/applets" >/dev/null
  echo "$version" | $sudo_cmd tee "$stamp" >/dev/null
  echo "busybox $version ($arch) in $dest/$arch"
done
