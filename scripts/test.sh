#!/usr/bin/env bash
# Every test: the unit, emulator and end-to-end tests with the fuzz corpora
# replayed, the 32-bit build of the TAP with its layout checks, and, on CI (or
# with ORVADO_FUZZ_SECONDS set), each fuzz target for a bounded time, and the
# whole suite again under the sanitizers.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/check-tracked.sh"
"$root/scripts/build.sh"

echo "== format and layer checks (at ${SECONDS} s)"
"$root/scripts/check-format.sh"
# On CI, clang-tidy over the C++ sources that the commits of the six hours up
# to the last one touched (the whole tree takes some 15 minutes:
# scripts/check-tidy.sh). Counted from the last commit, not from now, so a
# run a day later still checks the change.
if [ "${CI:-}" = "true" ]; then
  last="$(git -C "$root" log -1 --format=%ct HEAD)"
  since="$(git -C "$root" rev-list -1 --before="@$((last - 6 * 3600))" HEAD 2>/dev/null || true)"
  [ -n "$since" ] || since="$(git -C "$root" rev-list --max-parents=0 HEAD | tail -n 1)"
  "$root/scripts/check-tidy.sh" --since "$since"
fi

echo "== 32-bit TAP build (at ${SECONDS} s)"
cmake -S "$root" --preset tap32 -DORVADO_WERROR="$([ "${CI:-}" = true ] && echo ON || echo OFF)" >/dev/null
ninja -C "$root/build32" -j"$(nproc)" Orvado
readelf -h "$root/build32/Orvado.tap" | grep -q "ELF32" || { echo "32-bit TAP is not ELF32"; exit 1; }

echo "== receiver (MIPS) build and the user package (at ${SECONDS} s)"
"$root/scripts/build-mips.sh"
# The package holds the receiver's wget, built from Debian's sources: some
# ten minutes the first time, then kept (scripts/build-receiver-wget.sh).
"$root/scripts/package.sh" >/dev/null
# The receiver in a box starts the package's MIPS wget from the TAP's shell.
"$root/scripts/mips-binfmt.sh"

seconds="${ORVADO_FUZZ_SECONDS:-}"
if [ -z "$seconds" ] && [ "${CI:-}" = "true" ]; then seconds=10; fi
if [ -n "$seconds" ]; then
  echo "== fuzzing each target for ${seconds}s (at ${SECONDS} s)"
  "$root/scripts/fuzz.sh" "$seconds"
fi

# Most tests wait on servers, downloads and the TAP's pace rather than
# compute, so twelve run at once even on two cores.
echo "== tests (at ${SECONDS} s)"
cd "$root/build"
ctest --output-on-failure -j12 --timeout 900

# The receiver build's own checks: its TAP read back against the PC one and
# its budgets, then the emulator and the test programs built for mipsel
# without the decoding player and the web front end (scripts/build-mips.sh),
# under qemu-mipsel, all but one that qemu-user itself breaks:
# - emulator.Sandbox.FreshImage...: expects the sandbox's first process to be
#   PID 2, but qemu's own helper thread takes a PID number in the namespace.
echo "== tests under qemu-mipsel (at ${SECONDS} s)"
cd "$root/build-mips"
ctest --output-on-failure -j2 --timeout 900 -E '^emulator\.Sandbox\.FreshImageIsACopyOfTheTemplateWithAnExecutableWget$'

# On CI (or with ORVADO_SANITIZE_TESTS=1) the whole suite once more, built
# with AddressSanitizer and UndefinedBehaviorSanitizer.
if [ "${CI:-}" = "true" ] || [ -n "${ORVADO_SANITIZE_TESTS:-}" ]; then
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer (at ${SECONDS} s)"
  "$root/scripts/test-sanitize.sh"
fi
