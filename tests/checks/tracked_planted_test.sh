#!/usr/bin/env bash
# scripts/check-tracked.sh against planted files in a scratch repository: a
# clean one passes, and each planted file alone fails it.
set -uo pipefail
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-tracked.sh"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failed=0

# Makes a fresh repository holding a source file and the planted `path` of
# `bytes` bytes (no plant when path is empty).
repo_with() {
  local path="$1" bytes="$2" repo
  repo="$(mktemp -d "$scratch/repo-XXXXXX")"
  git -C "$repo" init -q
  mkdir -p "$repo/lib" && echo 'int x;' >"$repo/lib/x.cpp"
  if [ -n "$path" ]; then
    mkdir -p "$repo/$(dirname "$path")"
    head -c "$bytes" /dev/zero >"$repo/$path"
  fi
  git -C "$repo" add -A
  echo "$repo"
}

expect() {
  local want="$1" path="$2" bytes="$3" got=0
  "$check" "$(repo_with "$path" "$bytes")" >"$scratch/out" 2>&1 || got=1
  if [ "$got" != "$want" ]; then
    echo "FAIL: ${path:-clean repository} ($bytes bytes): exit $got, wanted $want"
    sed 's/^/  | /' "$scratch/out"
    failed=1
  fi
}

# want path bytes
while read -r want path bytes; do
  [ "$path" = "-" ] && path=""
  expect "$want" "$path" "$bytes"
done <<'TABLE'
0 -                               0
0 tools/data.bin                  1048576
1 live.ts                         1048577
1 tests/deep/corpus/big.ts        3000000
1 Testing/Temporary/LastTest.log  10
1 build/CMakeCache.txt            10
1 build-mips/x.o                  10
1 tests/browser/node_modules/a.js 10
1 out/menu.png                    10
0 scripts/build.sh                10
0 tests/output.txt                10
TABLE

[ "$failed" = 0 ] && echo "check-tracked fails on every planted file"
exit "$failed"
