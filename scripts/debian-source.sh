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
# The newest version whose files the archive still serves: a security
# update's sources are sometimes not there.
fetch() {
  local name="$1" version="$2" folder="$3" work
  work="$(mktemp -d "$dest/.fetch-XXXXXX")"
  if (cd "$work" && apt-get source -qq "$name=$version" >"$work.log" 2>&1) && [ -d "$work/$(basename "$folder")" ]; then
    rm -rf "$folder"
    mv "$work/$(basename "$folder")" "$folder"
    touch "$folder/.unpacked-$version"
    rm -rf "$work" "$work.log"
    return 0
  fi
  rm -rf "$work" "$work.log"
  return 1
}
folder_of() {
  local upstream="${2#*:}"
  echo "$dest/$1-${upstream%-*}"
}
for name in "$@"; do
  versions="$(apt-cache showsrc "$name" | sed -n 's/^Version: //p' | sort -uVr)"
  found=""
  # One already unpacked is reused without asking the archive.
  for version in $versions; do
    [ -f "$(folder_of "$name" "$version")/.unpacked-$version" ] && { found="$version"; break; }
  done
  if [ -z "$found" ]; then
    for version in $versions; do
      fetch "$name" "$version" "$(folder_of "$name" "$version")" && { found="$version"; break; }
    done
  fi
  [ -n "$found" ] || { echo "debian-source: cannot fetch the source package $name" >&2; exit 1; }
  echo "$name $found $(folder_of "$name" "$found")"
done
