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
# The level comes after -Werror=...: that option sets the level back to 1,
# which passes "tmp%u.ts" into a buffer that fits one digit only.
set(ORVADO_TAP_FORMAT_CHECKS -Werror=format-truncation -Wformat-truncation=2 -Werror=format-overflow
  -Wformat-overflow=2)
add_library(orvado_tap_warnings INTERFACE)
target_compile_options(orvado_tap_warnings INTERFACE $<$<CXX_COMPILER_ID:GNU>:${ORVADO_TAP_FORMAT_CHECKS}>)
# The checks must refuse a chunk's name that outgrows its buffer past chunk 9.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  include(CheckCXXSourceCompiles)
  list(JOIN ORVADO_TAP_FORMAT_CHECKS " " CMAKE_REQUIRED_FLAGS)
  string(APPEND CMAKE_REQUIRED_FLAGS " -O2")
  # Compiled only: the 32-bit and MIPS builds have no programs to link.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  check_cxx_source_compiles("#include <cstdio>
int main(int argc, char**) {
  char name[32];
  snprintf(name, sizeof name, \"/mnt/hd/MediaFiles/tmp/tmp%u.ts\", static_cast<unsigned>(argc));
  return name[5];
}" ORVADO_FORMAT_CHECKS_MISS_A_SHORT_BUFFER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_TRY_COMPILE_TARGET_TYPE)
  if(ORVADO_FORMAT_CHECKS_MISS_A_SHORT_BUFFER)
    message(FATAL_ERROR "${ORVADO_TAP_FORMAT_CHECKS} let a format outgrow its buffer")
  endif()
endif()
