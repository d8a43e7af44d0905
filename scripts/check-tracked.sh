#!/usr/bin/env bash
# Fails on tracked files that do not belong in the repository: any over 1 MB
# (made data belongs to the script that makes it) and any under a build or
# output folder (build*/, out/, Testing/, node_modules/, __pycache__/).
#   scripts/check-tracked.sh [REPO]     the repository's index (default: this one)
set -euo pipefail
repo="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$repo"
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "check-tracked: not a git work tree, nothing to check"
  exit 0
fi
limit=$((1024 * 1024))
bad=0

# The sizes of the blobs in the index, so a staged file counts too.
big="$(git ls-files --stage | sed -E 's/^[0-9]+ ([0-9a-f]+) [0-9]\t/\1 /' |
  git cat-file --batch-check='%(objectsize) %(rest)' | awk -v limit="$limit" '$1 > limit')"
if [ -n "$big" ]; then
  echo "tracked files over 1 MB (bytes, path):"
  echo "$big" | sed 's/^/  /'
  bad=1
fi

made="$(git ls-files | grep -E '(^|/)(build([-_.0-9][^/]*)?|out|Testing|node_modules|__pycache__)/' || true)"
if [ -n "$made" ]; then
  echo "tracked files under a build or output folder:"
  echo "$made" | sed 's/^/  /'
  bad=1
fi

if [ "$bad" != 0 ]; then
  echo "Remove them from the index (git rm --cached) and extend .gitignore."
  exit 1
fi
echo "Tracked files are sources only."
