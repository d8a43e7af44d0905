# One set of warnings for every target: the TAP, the emulator, the tools, the
# tests. Each target links orvado_warnings PRIVATE.
#   -Wall -Wextra   the usual faults
#   -Wshadow        a local that hides another one
#   -Wconversion    a value that an implicit conversion may change: sizes,
#                   pixels and ticks cross between 16, 32 and 64 bits here,
#                   and the receiver's int is 32 bits
#   -Wformat=2      printf-style calls with a format that is not a literal
# Signedness alone (-Wsign-conversion) is left out: the firmware interface
# mixes int and uint32_t by design; clang's -Wconversion would add it, so it
# is switched off there to warn alike with both compilers.
# ORVADO_WERROR=ON makes every warning an error (CI).
option(ORVADO_WERROR "Treat warnings as errors" OFF)

add_library(orvado_warnings INTERFACE)
target_compile_options(orvado_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wconversion -Wformat=2
  $<$<CXX_COMPILER_ID:Clang>:-Wno-sign-conversion>)
if(ORVADO_WERROR)
  target_compile_options(orvado_warnings INTERFACE -Werror)
endif()
# GCC 12 warns inside libstdc++'s std::regex once it is instrumented, a false
# positive; it would stop a sanitizer build made with ORVADO_WERROR.
if(ORVADO_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(orvado_warnings INTERFACE -Wno-maybe-uninitialized)
endif()

# The TAP's own code (app/ and lib/) formats only into buffers whose size the
# compiler sees: with GCC, a format whose output might not fit its buffer,
# for any value of its arguments, is an error, on every build.
add_library(orvado_tap_warnings INTERFACE)
target_compile_options(orvado_tap_warnings INTERFACE
  $<$<CXX_COMPILER_ID:GNU>:-Wformat-truncation=2 -Werror=format-truncation -Wformat-overflow=2 -Werror=format-overflow>)
