// Counts, and on demand hides, the dynamic loader's symbol look-ups of a test
// program: every dlsym of the program passes through the definition below.
// Include it in exactly one file of a test program.
//
// AddressSanitizer's run-time needs dlsym for itself before the program
// starts, so in such builds there is no counting (ORVADO_COUNTS_LOOKUPS is not
// defined) and the tests that rely on it are left out.
#pragma once

#include <dlfcn.h>

#include <map>
#include <set>
#include <string>

#ifndef __SANITIZE_ADDRESS__
#define ORVADO_COUNTS_LOOKUPS 1

namespace orvado_test {
// Look-ups by symbol name since the program started (or the test cleared it).
// Functions, not globals: look-ups happen before globals are made.
inline std::map<std::string, int>& lookups() {
  static std::map<std::string, int> counts;
  return counts;
}
// Names that look-ups do not find, as on a firmware without them.
inline std::set<std::string>& hiddenSymbols() {
  static std::set<std::string> names;
  return names;
}
}  // namespace orvado_test

extern "C" void* dlsym(void* handle, const char* name) noexcept {
  using Real = void* (*)(void*, const char*);
  static Real real = [] {
    Real r = reinterpret_cast<Real>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34"));
    if (!r) r = reinterpret_cast<Real>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5"));
    return r;
  }();
  // glibc declares `name` non-null, so the compiler drops any test for null
  // here: a null name is the caller's fault, as with the real dlsym.
  ++orvado_test::lookups()[name];
  if (orvado_test::hiddenSymbols().count(name)) return nullptr;
  return real(handle, name);
}
#endif
