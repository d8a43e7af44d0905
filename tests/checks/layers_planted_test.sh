#!/usr/bin/env bash
# scripts/check-layers.sh against includes planted in a scratch copy of the
# sources: the copy as it is passes, each forbidden include fails its rule
# (also in files the rules do not name), and each allowed one passes.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
copy="$scratch/copy"
mkdir -p "$copy"
(cd "$root" && find app lib platform formats emulator tools tests -type f \
  \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cp --parents -t "$copy")
failed=0

check() { "$root/scripts/check-layers.sh" "$copy" >"$scratch/out" 2>&1; }
if ! check; then
  echo "FAIL: the unchanged copy fails"
  sed 's/^/  | /' "$scratch/out"
  failed=1
fi

# want file include: a new file (or an existing one, restored after) gets
# the include, and the check must exit with `want`.
while read -r want file include; do
  [ -n "$want" ] || continue
  saved=""
  [ -f "$copy/$file" ] && saved="$(cat "$copy/$file")"
  mkdir -p "$copy/$(dirname "$file")"
  echo "#include $include" >>"$copy/$file"
  got=0
  check || got=1
  if [ "$got" != "$want" ]; then
    echo "FAIL: $file including $include: exit $got, wanted $want"
    sed 's/^/  | /' "$scratch/out"
    failed=1
  fi
  if [ -n "$saved" ]; then printf '%s\n' "$saved" >"$copy/$file"; else rm -f "$copy/$file"; fi
done <<'TABLE'
1 platform/tap.h                       "lib/files/files.h"
1 formats/ufnt.h                       "platform/tap.h"
1 lib/files/HDD_Exist.cpp              "app/orvado.h"
1 lib/files/NewProcedure.cpp           "emulator/core/emulator.h"
1 lib/fonts/NewProcedure.cpp           "lib/files/internal.h"
0 lib/files/NewProcedure.cpp           "lib/files/internal.h"
1 app/NewStep.cpp                      "lib/text/internal.h"
1 app/NewStep.cpp                      "emulator/core/emulator.h"
0 app/NewStep.cpp                      "lib/text/text.h"
1 tools/newtool/newtool.cpp            "lib/text/text.h"
0 tools/newtool/newtool.cpp            "formats/ufnt.h"
1 emulator/core/new_part.cpp           "lib/fonts/fonts.h"
1 emulator/core/new_part.cpp           "app/orvado.h"
1 emulator/core/run.cpp                "emulator/web/web.h"
0 emulator/core/new_part.cpp           "core/new_part_internal.h"
0 emulator/core/new_part.cpp           "platform/firmware.h"
1 emulator/firmware/NewSymbol.cpp      "lib/files/files.h"
1 emulator/firmware/NewSymbol.cpp      "app/PlayMediaFile.h"
0 emulator/firmware/NewSymbol.cpp      "core/internal.h"
1 emulator/cli/main.cpp                "emulator/core/internal.h"
1 emulator/cli/main.cpp                "emulator/core/new_part_internal.h"
1 emulator/web/new_page.cpp            "emulator/core/player_impl.h"
1 emulator/web/new_page.cpp            "core/screen_internal.h"
1 tests/files/new_test.cpp             "emulator/core/sandbox_internal.h"
1 tests/files/new_test.cpp             "emulator/firmware/NewSymbol.cpp"
1 tests/files/new_test.cpp             "emulator/web/web.h"
1 tests/files/new_test.cpp             <lib/files/internal.h>
1 tests/files/new_test.cpp             <emulator/core/run.cpp>
0 tests/files/new_test.cpp             "emulator/core/sandbox.h"
0 tests/files/new_test.cpp             <gtest/gtest.h>
TABLE

[ "$failed" = 0 ] && echo "check-layers fails on every planted include and passes the allowed ones"
exit "$failed"
