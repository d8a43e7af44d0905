// The settings file reader on random file contents: the first byte picks the
// destination size, the rest is the file. Every look-up must end its value
// inside the destination, and closing must return every block.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "lib/files/files.h"

namespace {

void lookUp(const char* key, uint32_t maxLength) {
  // Exactly maxLength bytes, so a write behind them is seen.
  char* value = static_cast<char*>(std::malloc(maxLength));
  FUZZ_CHECK(INIGetString(key, value, "---", maxLength));
  FUZZ_CHECK(strnlen(value, maxLength) < maxLength);
  std::free(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz_support::receiver();
  uint32_t maxLength = 1 + data[0];
  std::string content(reinterpret_cast<const char*>(data + 1), size - 1);

  std::FILE* f = std::fopen("/mnt/hd/ProgramFiles/Settings/fuzz.ini", "wb");
  FUZZ_CHECK(f != nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  emu::setCurrentDir("/mnt/hd/MediaFiles");

  int32_t r = INIOpenFile("fuzz.ini", "orvado");
  FUZZ_CHECK(r == 4);
  FUZZ_CHECK(emu::currentDir() == "/mnt/hd/MediaFiles");
  FUZZ_CHECK(INIBuffer != nullptr && BufferSize > 0 && static_cast<size_t>(BufferSize) > content.size() + 512);
  size_t textLength = strlen(INIBuffer);
  FUZZ_CHECK(textLength > 0 && (INIBuffer[textLength - 1] == '\n' || INIBuffer[textLength - 1] == '\r'));

  lookUp("tvname1", maxLength);
  lookUp("tvPL1", maxLength);
  lookUp("", maxLength);
  // A key taken from the file itself, so look-ups also hit.
  size_t cut = content.find('=');
  if (cut != std::string::npos && cut > 0) lookUp(content.substr(0, cut).c_str(), maxLength);
  INICloseFile();
  FUZZ_CHECK(INIBuffer == nullptr && BufferSize == 0);
  FUZZ_CHECK(emu::liveBlocks() == 0);
  return 0;
}
