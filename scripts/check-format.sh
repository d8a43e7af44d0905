#!/usr/bin/env bash
# Checks that the C++ files listed in scripts/format-files.txt follow
# .clang-format, and fails with the diff when one does not (CI).
#   scripts/check-format.sh           check the listed files
#   scripts/check-format.sh --fix     reformat the listed files in place
#   scripts/check-format.sh --candidates
#                                     print the unlisted files that already
#                                     conform, to grow the list with
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
format="${CLANG_FORMAT:-clang-format}"
command -v "$format" >/dev/null || { echo "check-format: $format is missing (apt-get install clang-format)"; exit 2; }
list=scripts/format-files.txt
mapfile -t files < <(grep -v '^[[:space:]]*\(#\|$\)' "$list")

case "${1:-}" in
  --fix)
    "$format" -i "${files[@]}"
    exit 0
    ;;
  --candidates)
    git ls-files '*.cpp' '*.h' | grep -vxF -f <(printf '%s\n' "${files[@]}") | while read -r f; do
      "$format" "$f" | cmp -s "$f" - && echo "$f"
    done
    exit 0
    ;;
  "") ;;
  *) echo "usage: $0 [--fix|--candidates]"; exit 2 ;;
esac

bad=0
for f in "${files[@]}"; do
  if [ ! -f "$f" ]; then
    echo "check-format: $f is listed in $list but missing"
    bad=1
  elif ! "$format" "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" -; then
    bad=1
  fi
done
if [ "$bad" != 0 ]; then
  echo "check-format: the files above differ from .clang-format; scripts/check-format.sh --fix mends them"
  exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
