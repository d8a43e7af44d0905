#!/usr/bin/env bash
# docs/write-your-own-tap.md as a TAP author follows it: in a scratch folder
# laid out as a checkout (the sample's sources, with the doc's CMake snippet
# as its CMakeLists.txt, platform/ and the built build/), every command that
# the doc prints (its indented lines that start with cmake or
# build/orvado-emu) runs as printed and must succeed; the TAP it builds must
# load, and the screenshot the doc promises must show the sample's greeting.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
doc="$root/docs/write-your-own-tap.md"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

mkdir -p "$scratch/examples/hello"
cp "$root/examples/hello/hello.cpp" "$root/examples/hello/exports.map" "$scratch/examples/hello/"
# The snippet as printed is the whole build.
awk '/^```cmake$/ {on=1; next} /^```$/ {on=0} on' "$doc" >"$scratch/examples/hello/CMakeLists.txt"
[ -s "$scratch/examples/hello/CMakeLists.txt" ] || { echo "FAIL: no CMake snippet in the doc"; exit 1; }
cp -r "$root/platform" "$scratch/platform"
ln -s "$build" "$scratch/build"

mapfile -t commands < <(grep -E '^    (cmake|build/orvado-emu) ' "$doc" | sed 's/^    //')
[ "${#commands[@]}" -ge 2 ] || { echo "FAIL: the doc's commands were not found"; exit 1; }
failed=0
for command in "${commands[@]}"; do
  echo "\$ $command"
  if ! (cd "$scratch" && bash -c "$command") >"$scratch/out" 2>&1; then
    echo "FAIL: the command failed as printed"
    sed 's/^/  | /' "$scratch/out"
    failed=1
  else
    sed 's/^/  | /' "$scratch/out" | tail -5
  fi
done

# The first run's screenshot: the greeting, not a black screen.
png="$scratch/hello.png"
if [ ! -s "$png" ]; then
  echo "FAIL: the first run left no hello.png"
  failed=1
elif ! "${ORVADO_PYTHON:-python3}" - "$png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
pos, idat = 8, b''
while pos < len(data):
    length, kind = struct.unpack('>I4s', data[pos:pos + 8])
    if kind == b'IDAT':
        idat += data[pos + 8:pos + 8 + length]
    pos += 12 + length
raw = zlib.decompress(idat)
lit = sum(1 for b in raw if b)
# A black screen is zeros but for the rows' filter bytes (576 at most).
sys.exit(0 if lit > 2000 else 1)
PY
then
  echo "FAIL: hello.png is black"
  failed=1
fi
[ "$failed" = 0 ] && echo "every command of the doc ran as printed"
exit "$failed"
