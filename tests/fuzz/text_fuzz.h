// Shared by the text fuzz targets: a receiver to run in, and fuzz bytes as a
// text in a block of exactly its size, so ASan sees any read behind it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"

// Once per process: the shared sandbox and receiver.
inline void textFuzzSetup() {
  static bool ready = [] {
    fuzz_support::receiver();
    return true;
  }();
  (void)ready;
}

// Heap copy of data with a terminator behind it. A text that opens with a 0x10
// selector always carries its two table-number bytes (the first is 0x00 and
// not a terminator), so such a text gets at least three bytes.
inline char* textFuzzCopy(const uint8_t* data, size_t size) {
  size_t room = size + 1;
  if (size > 0 && data[0] == 0x10 && room < 3) room = 3;
  char* text = (char*)std::calloc(room, 1);
  if (size) std::memcpy(text, data, size);
  return text;
}
