// Writes the firmware description file FirmwareTMS.dat that the disk image
// ships: a few receiver models, each with its remote type.
//
// The layout is defined once, in formats/firmware_dat.h, which the TAP's
// reader includes too.
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

#include "formats/firmware_dat.h"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  constexpr size_t count = sizeof kModels / sizeof kModels[0];
  std::vector<uint8_t> image(FWDAT_TailOffset(count), 0);
  const FWDAT_Header header{FWDAT_Magic, 1, 0, static_cast<uint32_t>(count), 0};
  std::memcpy(image.data(), &header, sizeof header);
  for (size_t i = 0; i < count; ++i) {
    FWDAT_Record record{};
    record.SystemId = kModels[i].systemId;
    std::strncpy(record.Name, kModels[i].name, sizeof record.Name - 1);
    record.RemoteType = kModels[i].remoteType;
    std::memcpy(&image[FWDAT_HeaderSize + i * FWDAT_RecordSize], &record, sizeof record);
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
