#!/usr/bin/env bash
# Fetches Debian source packages and unpacks each into DEST/NAME-VERSION,
# once: a folder that is already there is reused. With --keep, the files
# that apt-get fetched (.dsc, original tarball, Debian's changes) are kept
# beside it in DEST/NAME-VERSION.apt-source, for those who pass the built
# programs on. Adds deb-src lines for the machine's own Debian suites on
# first use. Prints "NAME VERSION FOLDER" for each package.
#   scripts/debian-source.sh [--keep] DEST NAME...
set -euo pipefail
keep=""
[ "${1:-}" != --keep ] || { keep=1; shift; }
[ $# -ge 2 ] || { echo "usage: $0 [--keep] DEST NAME..." >&2; exit 2; }
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
    rm -rf "$folder" "$folder.apt-source"
    mv "$work/$(basename "$folder")" "$folder"
    if [ -n "$keep" ]; then
      mkdir "$folder.apt-source"
      find "$work" -maxdepth 1 -type f -exec mv {} "$folder.apt-source/" \;
    fi
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
  # One already unpacked is reused without asking the archive (with --keep,
  # only when its fetched files were kept too).
  for version in $versions; do
    folder="$(folder_of "$name" "$version")"
    [ -f "$folder/.unpacked-$version" ] || continue
    [ -z "$keep" ] || ls "$folder.apt-source/"*.dsc >/dev/null 2>&1 || continue
    found="$version"
    break
  done
  if [ -z "$found" ]; then
    for version in $versions; do
      fetch "$name" "$version" "$(folder_of "$name" "$version")" && { found="$version"; break; }
    done
  fi
  [ -n "$found" ] || { echo "debian-source: cannot fetch the source package $name" >&2; exit 1; }
  echo "$name $found $(folder_of "$name" "$found")"
done
