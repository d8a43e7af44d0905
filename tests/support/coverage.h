// Test processes that end with _exit write their line counts first, in a
// build that counts them (ORVADO_COVERAGE).
#pragma once

#ifdef ORVADO_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace orvado_test {

inline void flushCoverage() {
#ifdef ORVADO_COVERAGE
  __gcov_dump();
#endif
}

}  // namespace orvado_test
