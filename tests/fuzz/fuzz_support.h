// Set-up shared by the fuzz targets: a sandbox of the process's own (the
// fuzzers cannot fork) with a fresh /mnt/hd, and a receiver to run against.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/core/emulator.h"
#include "emulator/core/sandbox.h"

// A fuzz target's own check: a finding, reported with the failed condition.
#define FUZZ_CHECK(c)                                                             \
  do {                                                                            \
    if (!(c)) {                                                                   \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #c, __FILE__, __LINE__); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace fuzz_support {

// Enters the sandbox once and puts the receiver into its power-on state.
inline void receiver() {
  static bool entered = false;
  if (!entered) {
    std::string error;
    if (!emu::inSandbox() && !emu::enterSandboxInPlace({}, &error)) {
      std::fprintf(stderr, "fuzz: cannot make the sandbox: %s\n", error.c_str());
      std::abort();
    }
    entered = true;
  }
  emu::Config config;
  config.virtualClock = true;
  static bool reset = false;
  if (!reset) {
    std::string error;
    if (!emu::reset(config, &error)) {
      std::fprintf(stderr, "fuzz: cannot make the receiver: %s\n", error.c_str());
      std::abort();
    }
    reset = true;
  }
}

}  // namespace fuzz_support
