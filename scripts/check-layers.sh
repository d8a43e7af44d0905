#!/usr/bin/env bash
# Checks the layers by their #include lines (see ARCHITECTURE.md); prints each
# include that crosses a layer the wrong way and fails when there is one.
#   platform/  includes only platform/
#   formats/   includes nothing of the project
#   lib/       platform/, formats/, lib/
#   app/       platform/, formats/, lib/ (public headers), app/
#   tools/     formats/ only
#   emulator front ends and tests: of the core only core/emulator.h and
#              core/sandbox.h; of lib/ only its public headers
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bad=0

# Prints the project includes of the C++ files under the given folders as
# "file: included/path".
includes() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null |
    xargs -r grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' |
    sed -E 's/^([^:]+):[^"]*"([^"]+)".*/\1: \2/'
}

# Reports every include of the listed folders whose path matches `pattern`.
forbid() {
  local why="$1" pattern="$2"
  shift 2
  local hits
  hits="$(includes "$@" | grep -E ": ($pattern)$")"
  if [ -n "$hits" ]; then
    echo "$why:"
    echo "$hits" | sed 's/^/  /'
    bad=1
  fi
}

# Same, for includes that do not match `allowed`. Includes without a folder
# (a header beside the file) always pass.
allowOnly() {
  local why="$1" allowed="$2"
  shift 2
  local hits
  hits="$(includes "$@" | grep -vE ": (($allowed)|[^/]+)$")"
  if [ -n "$hits" ]; then
    echo "$why:"
    echo "$hits" | sed 's/^/  /'
    bad=1
  fi
}

allowOnly "platform/ includes only platform/" 'platform/.*' platform
allowOnly "formats/ includes nothing of the project" '' formats
allowOnly "lib/ includes only platform/, formats/ and lib/" '(platform|formats|lib)/.*' lib
allowOnly "app/ includes only platform/, formats/, lib/ and app/" '(platform|formats|lib|app)/.*' app
allowOnly "tools/ include only formats/" 'formats/.*' tools
forbid "a lib/*/internal.h is for its own folder" 'lib/[^/]+/internal\.h' app tools emulator tests
forbid "front ends and tests use only core/emulator.h and core/sandbox.h" \
  '(emulator/)?core/.*internal\.h|(emulator/)?core/(clock|console|core|hdd|loader|memory|player|run|screen[a-z_]*|tap_pointers|utf8names|hooks)\.(h|cpp)' \
  emulator/cli emulator/web tests

if [ "$bad" != 0 ]; then
  echo "Layer check failed: see ARCHITECTURE.md for what each layer may include."
  exit 1
fi
echo "Layers are sealed."
