// ID3v2 tags on random and mutated input, from an exact-size copy: the
// tag's length comes from its header alone, whatever part of the tag is at
// hand, and a timestamp found is a 33-bit one.
#include <cstdint>
#include <vector>

#include "app/ChunkToTs.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  int64_t stamp = -1;
  uint32_t length = Id3TagLength(copy.data(), copy.size(), &stamp);
  FUZZ_CHECK(length == 0 || length >= 10);
  FUZZ_CHECK(stamp >= -1 && stamp < (int64_t{1} << 33));
  if (length != 0) FUZZ_CHECK(stamp == -1 || size >= 10 + 53);
  if (size >= 10) {
    // A cut tag (as a read that ends mid-tag hands it over) has the same length.
    std::vector<uint8_t> head(data, data + 10 + (size - 10) / 2);
    int64_t other = -1;
    FUZZ_CHECK(Id3TagLength(head.data(), head.size(), &other) == length);
  }
  return 0;
}
