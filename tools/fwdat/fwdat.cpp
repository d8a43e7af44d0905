// Writes the firmware description file FirmwareTMS.dat that the disk image
// ships: a few receiver models, each with its remote type.
//
// Layout (little-endian): a 20-byte header (magic 0x12345678, format version
// 1, a zero word, the record count, a zero word), then one 348-byte record
// per model: the system id as 16 bits at 0, the model name (NUL-padded, 32
// bytes) at 2, the remote type as 32 bits at 320. Nothing follows the records.
//
// The models:
//   22010  TMS-2100 (remote type 1), the emulator's default system id
//   22120  TMS-2200 (remote type 2)
//   22570  TMS-2500 (remote type 3)
//   22580  TMS-2500 Plus (remote type 1)
//
// Usage: fwdat OUTPUT
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Model {
  uint16_t systemId;
  const char* name;
  int32_t remoteType;
};

constexpr Model kModels[] = {
    {22010, "TMS-2100", 1},
    {22120, "TMS-2200", 2},
    {22570, "TMS-2500", 3},
    {22580, "TMS-2500 Plus", 1},
};

constexpr size_t kHeaderSize = 20;
constexpr size_t kRecordSize = 348;
constexpr size_t kNameSize = 32;
constexpr size_t kRemoteTypeOffset = 320;

void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  constexpr size_t count = sizeof kModels / sizeof kModels[0];
  std::vector<uint8_t> image(kHeaderSize + count * kRecordSize, 0);
  put32(image, 0, 0x12345678);
  put32(image, 4, 1);
  put32(image, 8, 0);
  put32(image, 12, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    size_t at = kHeaderSize + i * kRecordSize;
    put16(image, at, kModels[i].systemId);
    std::memcpy(&image[at + 2], kModels[i].name, std::min(std::strlen(kModels[i].name), kNameSize - 1));
    put32(image, at + kRemoteTypeOffset, static_cast<uint32_t>(kModels[i].remoteType));
  }

  std::filesystem::path out = argv[1];
  std::error_code ec;
  if (out.has_parent_path()) std::filesystem::create_directories(out.parent_path(), ec);
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
