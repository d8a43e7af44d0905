// The emulator's TAP header reader on random files: a TAP is a file the user
// picks, so a damaged one must be refused with a reason, never crash or
// allocate without bound; a header read must hold the version it checked.
#include <cstdio>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();
  const char* path = "/mnt/hd/fuzz.tap";
  std::FILE* f = std::fopen(path, "wb");
  FUZZ_CHECK(f != nullptr);
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  emu::TapHeader header;
  std::string error;
  if (emu::readTapHeader(path, header, &error)) {
    FUZZ_CHECK(header.headerVersion == 0x10);
  } else {
    FUZZ_CHECK(error.find("fuzz.tap") != std::string::npos);
  }
  return 0;
}
