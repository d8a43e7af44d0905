#!/usr/bin/env bash
# Checks the layers by their #include lines (see ARCHITECTURE.md); prints each
# include that crosses a layer the wrong way and fails when there is one.
# Every rule is a pattern over folders, so files added later fall under it.
#   platform/           includes only platform/
#   formats/            includes nothing of the project
#   lib/                platform/, formats/, lib/; another area's internal.h never
#   app/                platform/, formats/, lib/ (public headers), app/
#   tools/              formats/ only
#   emulator/core/      platform/ and the core's own headers
#   emulator/firmware/  platform/ and the core's headers
#   emulator front ends and tests: of the emulator's core and firmware only
#                       core/emulator.h and core/sandbox.h; tests no front
#                       end's headers; of lib/ only its public headers
#   scripts/check-layers.sh [ROOT]    check another copy of the tree
set -uo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root" || exit 2
bad=0

# Prints the project includes of the C and C++ files under the given folders
# as "file: included/path". An include in angle brackets counts when it starts
# with one of the project's folders, since the root is an include folder.
includes() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.c' -o -name '*.h' -o -name '*.hpp' \) \
    2>/dev/null | sort |
    xargs -r grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]*("|<(app|lib|platform|formats|emulator|tools|tests|core|web)/)' |
    sed -E 's/^([^:]+):[^"<]*["<]([^">]+)[">].*/\1: \2/'
}

report() {
  local why="$1" hits="$2"
  if [ -n "$hits" ]; then
    echo "$why:"
    echo "$hits" | sed 's/^/  /'
    bad=1
  fi
}

# Every include of the listed folders whose path matches `pattern`.
forbid() {
  local why="$1" pattern="$2"
  shift 2
  report "$why" "$(includes "$@" | grep -E ": ($pattern)$")"
}

# Every include of the listed folders that does not match `allowed`. Includes
# without a folder (a header beside the file) always pass.
allowOnly() {
  local why="$1" allowed="$2"
  shift 2
  report "$why" "$(includes "$@" | grep -vE ": (($allowed)|[^/]+)$")"
}

# Includes of the listed folders that match `pattern` unless they match `except`.
forbidExcept() {
  local why="$1" pattern="$2" except="$3"
  shift 3
  report "$why" "$(includes "$@" | grep -E ": ($pattern)$" | grep -vE ": ($except)$")"
}

allowOnly "platform/ includes only platform/" 'platform/.*' platform
allowOnly "formats/ includes nothing of the project" '' formats
allowOnly "lib/ includes only platform/, formats/ and lib/" '(platform|formats|lib)/.*' lib
allowOnly "app/ includes only platform/, formats/, lib/ and app/" '(platform|formats|lib|app)/.*' app
allowOnly "tools/ include only formats/" 'formats/.*' tools
allowOnly "emulator/core/ includes only platform/ and its own headers" 'platform/.*|(emulator/)?core/.*' emulator/core
allowOnly "emulator/firmware/ includes only platform/ and the core's headers" \
  'platform/.*|(emulator/)?core/[^/]+\.h' emulator/firmware
forbid "a lib/*/internal.h is for its own folder" 'lib/[^/]+/internal\.h' app tools emulator tests
# A lib/ file that includes another area's internal.h.
report "a lib/*/internal.h is for its own folder" \
  "$(includes lib | grep -E '^lib/[^/]+/.*: lib/[^/]+/internal\.h$' |
    awk -F': ' '{ split($1, f, "/"); split($2, i, "/"); if (f[2] != i[2]) print }')"
forbidExcept "front ends and tests use only core/emulator.h and core/sandbox.h of the emulator" \
  '(emulator/)?(core|firmware)/.*' '(emulator/)?core/(emulator|sandbox)\.h' emulator/cli emulator/web tests
forbid "tests use no front end's headers" '(emulator/)?(cli|web)/.*' tests

if [ "$bad" != 0 ]; then
  echo "Layer check failed: see ARCHITECTURE.md for what each layer may include."
  exit 1
fi
echo "Layers are sealed."
