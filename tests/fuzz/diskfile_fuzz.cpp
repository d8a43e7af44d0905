// The image paths of --put on random strings: a path that is accepted never
// leaves /mnt/hd and never names the image itself; one that is refused says
// why with the path in the message.
#include <filesystem>
#include <string>

#include "emulator/core/sandbox.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  std::string relative, error;
  if (!emu::diskFilePath(path, relative, &error)) {
    FUZZ_CHECK(error.find("Bad path in the disk image") == 0);
    return 0;
  }
  std::filesystem::path p(relative);
  FUZZ_CHECK(!relative.empty() && relative != "." && !p.is_absolute());
  for (const auto& part : p) FUZZ_CHECK(part != "..");
  std::string full = (std::filesystem::path("/mnt/hd") / p).lexically_normal().string();
  FUZZ_CHECK(full.rfind("/mnt/hd/", 0) == 0 && full.size() > 8);
  return 0;
}
