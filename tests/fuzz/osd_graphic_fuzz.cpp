// TAP_Osd_PutGd on random graphic records. The picture is drawn twice: from a
// stream of known length and through the TAP interface, with the stream at
// the very end of readable memory. Both must agree, nothing may land outside
// the picture's place, and the call must never read past the memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulator/core/emulator.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t kW = 64, kH = 48, kGround = 0xFF0000FF;

// Two pages of which the second cannot be read: the stream ends where the
// first does.
uint8_t* guardedEnd(size_t& room) {
  static uint8_t* mem = nullptr;
  static long page = sysconf(_SC_PAGESIZE);
  if (!mem) {
    mem = static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    FUZZ_CHECK(mem != MAP_FAILED);
    FUZZ_CHECK(mprotect(mem + page, page, PROT_NONE) == 0);
  }
  room = static_cast<size_t>(page);
  return mem + page;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  fuzz_support::receiver();
  TYPE_GrData gd{};
  gd.version = 1;
  gd.width = static_cast<uint16_t>(1 + data[0] % 80);
  gd.height = static_cast<uint16_t>(1 + data[1] % 60);
  int x = static_cast<int8_t>(data[2]) / 2, y = static_cast<int8_t>(data[3]) / 2;
  gd.compressMethod = data[4] & 2;
  gd.size = uint32_t{gd.width} * gd.height * 2;
  const uint8_t* stream = data + 5;
  size_t length = size - 5;

  bool complete = false;
  std::vector<uint32_t> pixels = emu::unpackGraphic(gd, stream, length, &complete);
  FUZZ_CHECK(pixels.size() == size_t{gd.width} * gd.height);
  for (uint32_t p : pixels) FUZZ_CHECK(p == 0 || (p >> 24) == 0xFF);
  if (gd.compressMethod == 0) FUZZ_CHECK(complete == (length >= gd.size));

  size_t room = 0;
  uint8_t* end = guardedEnd(room);
  if (length > room) length = room;
  std::memcpy(end - length, stream, length);
  gd.data = end - length;
  int rgn = TAP_Osd_Create(0, 0, kW, kH, 0, 0);
  FUZZ_CHECK(rgn >= OSD_FirstRegion);
  TAP_Osd_FillBox(static_cast<uint16_t>(rgn), 0, 0, kW, kH, kGround);
  int result = TAP_Osd_PutGd(static_cast<uint16_t>(rgn), x, y, &gd, false);
  bool visible = x < static_cast<int>(kW) && y < static_cast<int>(kH) && x + gd.width > 0 && y + gd.height > 0;
  FUZZ_CHECK((result == 0) == visible);

  if (length == size - 5) {  // the same stream both ways
    emu::Image img = emu::regionImage(static_cast<uint16_t>(rgn));
    for (uint32_t py = 0; py < kH; ++py)
      for (uint32_t px = 0; px < kW; ++px) {
        int gx = static_cast<int>(px) - x, gy = static_cast<int>(py) - y;
        uint32_t want = kGround;
        if (gx >= 0 && gy >= 0 && gx < gd.width && gy < gd.height) {
          uint32_t p = pixels[static_cast<size_t>(gy) * gd.width + gx];
          if (p) want = p;
        }
        FUZZ_CHECK(img.pixels[py * kW + px] == want);
      }
  }
  TAP_Osd_Delete(static_cast<uint16_t>(rgn));
  return 0;
}
