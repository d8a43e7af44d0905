#!/usr/bin/env bash
# Unpacks Debian's busybox-static for the PC (amd64) and the receiver build
# (mipsel) into /opt/orvado/busybox/<arch>/busybox: the sandbox gives the
# TAP's shell a root of busybox tools, as a receiver has. Unpacked, not
# installed, so the host's own busybox (if any) stays as it is.
set -euo pipefail
dest="${ORVADO_BUSYBOX_DIR:-/opt/orvado/busybox}"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
for arch in amd64 mipsel; do
  version="$(apt-cache policy "busybox-static:$arch" | sed -n 's/^ *Candidate: //p')"
  stamp="$dest/$arch/.version"
  [ -x "$dest/$arch/busybox" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ] && continue
  (cd "$work" && apt-get download -qq "busybox-static:$arch") || {
    $sudo_cmd apt-get update -qq
    (cd "$work" && apt-get download -qq "busybox-static:$arch")
  }
  dpkg-deb -x "$work"/busybox-static_*_"$arch".deb "$work/$arch"
  $sudo_cmd mkdir -p "$dest/$arch"
  $sudo_cmd install -m 0755 "$work/$arch/bin/busybox" "$dest/$arch/busybox"
  # Where each applet goes (bin/cat, usr/bin/wc, ...). Both architectures are
  # built from one configuration, so the PC's busybox can say it for both.
  "$dest/amd64/busybox" --list-full | $sudo_cmd tee "$dest/$arch/applets" >/dev/null
  echo "$version" | $sudo_cmd tee "$stamp" >/dev/null
  echo "busybox-static $version ($arch) in $dest/$arch"
  rm -f "$work"/*.deb
done
