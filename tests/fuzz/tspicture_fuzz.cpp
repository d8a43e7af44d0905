// The program map read from any bytes: an answer of the three, and a
// picture found only where a map lists one.
#include <cstring>

#include "app/stream_internal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // In a block of its own size, so a read past the last whole packet shows.
  size_t whole = size - size % 188;
  uint8_t* copy = static_cast<uint8_t*>(std::calloc(whole > 0 ? whole : 1, 1));
  if (whole > 0) std::memcpy(copy, data, whole);
  int picture = stream_internal::TsPicture(copy, whole);
  FUZZ_CHECK(picture == -1 || picture == 0 || picture == 1);
  if (whole < 2 * 188) FUZZ_CHECK(picture == -1);  // a PAT and a PMT are two packets
  std::free(copy);
  return 0;
}
