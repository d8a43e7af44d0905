#!/usr/bin/env bash
# Fetches Debian source packages and unpacks each into DEST/NAME-VERSION,
# once: a folder that is already there is reused. Adds deb-src lines for the
# machine's own Debian suites on first use. Prints "NAME VERSION FOLDER" for
# each package.
#   scripts/debian-source.sh DEST NAME...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DEST NAME..." >&2; exit 2; }
dest="$1"
shift
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

src_list=/etc/apt/sources.list.d/orvado-deb-src.sources
if [ ! -f "$src_list" ]; then
  # The same archives, suites and components as the binary lines.
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -n '/^Types:/,/^$/p' /etc/apt/sources.list.d/debian.sources | sed 's/^Types:.*/Types: deb-src/' |
      $sudo_cmd tee "$src_list" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $sudo_cmd tee "${src_list%.sources}.list" >/dev/null
  fi
  $sudo_cmd apt-get update -qq
fi
command -v dpkg-source >/dev/null || {
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
}

mkdir -p "$dest"
for name in "$@"; do
  version="$(apt-cache showsrc "$name" | sed -n 's/^Version: //p' | sort -V | tail -n 1)"
  [ -n "$version" ] || { echo "debian-source: no source package $name" >&2; exit 1; }
  upstream="${version#*:}"
  upstream="${upstream%-*}"
  folder="$dest/$name-$upstream"
  if [ ! -f "$folder/.unpacked-$version" ]; then
    work="$(mktemp -d "$dest/.fetch-XXXXXX")"
    (cd "$work" && apt-get source -qq "$name=$version" >/dev/null 2>&1) ||
      (cd "$work" && apt-get source -q "$name=$version")
    rm -rf "$folder"
    mv "$work/$name-$upstream" "$folder"
    rm -rf "$work"
    touch "$folder/.unpacked-$version"
  fi
  echo "$name $version $folder"
done
