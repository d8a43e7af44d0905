// The play state's reading of a transport stream's programme tables: any
// bytes give a short, printable answer and never read outside the buffer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/emulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so a read past the end is caught by ASan.
  std::vector<uint8_t> copy(data, data + size);
  std::string codecs = emu::transportStreamCodecs(copy.data(), copy.size());
  for (char c : codecs)
    if (c < 0x20 || c > 0x7E) abort();
  if (codecs.size() > 40 * (size / 5 + 1)) abort();
  return 0;
}
