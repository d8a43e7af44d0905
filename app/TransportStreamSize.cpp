// Only MPEG transport stream may reach Stream.ts: one foreign byte there (an
// error page served as a chunk, a cut packet) puts every later packet out of
// step for the player.
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

int64_t TransportStreamSize(const char* name) {
  constexpr uint32_t kPacket = 188;
  constexpr uint32_t kBlock = kPacket * 256;
  TYPE_File* file = TAP_Hdd_Fopen(name);
  if (file == nullptr) return -1;
  uint32_t length = TAP_Hdd_Flen(file);
  uint8_t* block = length > 0 && length % kPacket == 0 ? static_cast<uint8_t*>(TAP_MemAlloc(kBlock)) : nullptr;
  bool whole = block != nullptr;
  for (uint32_t done = 0; whole && done < length;) {
    uint32_t want = length - done < kBlock ? length - done : kBlock;
    if (TAP_Hdd_Fread(block, want, 1, file) != 1) whole = false;
    for (uint32_t at = 0; whole && at < want; at += kPacket) whole = block[at] == 0x47;
    done += want;
  }
  if (block != nullptr) TAP_MemFree(block);
  TAP_Hdd_Fclose(file);
  TAP_MemFree(file);
  return whole ? static_cast<int64_t>(length) : -1;
}

}  // namespace stream_internal
