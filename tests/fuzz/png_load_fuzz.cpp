// emu::loadPng on random files: it either refuses with a message or gives an
// image whose pixels match its size, which saves and loads back unchanged.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/core/emulator.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = "/tmp/orvado_png_fuzz_" + std::to_string(getpid()) + ".png";
  static const std::string out = "/tmp/orvado_png_fuzz_" + std::to_string(getpid()) + "_out.png";
  std::FILE* f = std::fopen(in.c_str(), "wb");
  FUZZ_CHECK(f);
  FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);

  emu::Image image;
  std::string error;
  if (!emu::loadPng(in, image, &error)) {
    FUZZ_CHECK(!error.empty() && error.find(in) != std::string::npos);
  } else {
    FUZZ_CHECK(image.width > 0 && image.height > 0);
    FUZZ_CHECK(image.pixels.size() == size_t{image.width} * image.height);
    FUZZ_CHECK(emu::savePng(image, out, &error));
    emu::Image back;
    FUZZ_CHECK(emu::loadPng(out, back, &error));
    FUZZ_CHECK(back.width == image.width && back.height == image.height && back.pixels == image.pixels);
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
  return 0;
}
