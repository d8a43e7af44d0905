// What the converters' instruction counts share: the receiver's allocator
// as the converters reach it, and the cat-like copy they are set beside.
// Included by one file of each counting program.
#pragma once

#include <unistd.h>

#include <cstdlib>

#include "platform/tap.h"

void* (*TAP_MemAlloc)(uint32_t size) = [](uint32_t size) { return std::malloc(size); };
int (*TAP_MemFree)(const void* block) = [](const void* block) {
  std::free(const_cast<void*>(block));
  return 1;
};

namespace count_support {

inline char block[128 * 1024];  // what cat reads and writes at a time

// Copies `in` to `out` as cat does; false when a read or write fails.
inline bool Copy(int in, int out) {
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n == 0) return true;
    if (n < 0 || write(out, block, static_cast<size_t>(n)) != n) return false;
  }
}

}  // namespace count_support
