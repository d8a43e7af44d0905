#!/usr/bin/env bash
# Checks that every C and C++ file of the project follows .clang-format, and
# fails with the differences when one does not (CI).
#   scripts/check-format.sh         check
#   scripts/check-format.sh --fix   reformat them in place
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
format="${CLANG_FORMAT:-clang-format}"
command -v "$format" >/dev/null || { echo "check-format: $format is missing (apt-get install clang-format)"; exit 2; }
# The tracked files in a clone; every source file in an unpacked copy.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' | grep -v '^tests/fuzz/corpus/')
else
  mapfile -t files < <(find app lib platform formats emulator tools tests \
    \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -not -path 'tests/fuzz/corpus/*' | sort)
fi

case "${1:-}" in
  --fix)
    "$format" -i "${files[@]}"
    exit 0
    ;;
  "") ;;
  *) echo "usage: $0 [--fix]"; exit 2 ;;
esac

bad=0
for f in "${files[@]}"; do
  if ! "$format" "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - ; then
    bad=1
  fi
done
if [ "$bad" -ne 0 ]; then
  echo "check-format: the files above differ from .clang-format; scripts/check-format.sh --fix mends them"
  exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
