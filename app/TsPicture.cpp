// Whether a transport stream carries a picture, from its program map: a
// radio channel leaves the screen black, and the user is told why.
#include "app/stream_internal.h"

namespace stream_internal {

namespace {

constexpr uint32_t kPacket = 188;

// The section that begins in the packet at `p` on `pid`, or null: its table
// must end within the packet (program tables of a few streams do).
const uint8_t* SectionOf(const uint8_t* p, uint32_t pid, uint32_t* length) {
  if (p[0] != 0x47 || (p[1] & 0x40) == 0 || ((p[1] & 0x1Fu) << 8 | p[2]) != pid) return nullptr;
  uint32_t at = 4;
  uint32_t control = (p[3] >> 4) & 3u;
  if (control == 0 || control == 2) return nullptr;
  if (control == 3) at += 1u + p[4];
  if (at >= kPacket) return nullptr;
  at += 1u + p[at];  // the pointer field
  if (at + 3 > kPacket) return nullptr;
  const uint8_t* s = p + at;
  uint32_t n = 3u + ((s[1] & 0x0Fu) << 8 | s[2]);
  if (n < 12 || at + n > kPacket) return nullptr;
  *length = n;
  return s;
}

bool IsSound(uint8_t streamType) {
  switch (streamType) {
    case 0x03:  // MPEG-1 audio
    case 0x04:  // MPEG-2 audio
    case 0x0F:  // AAC (ADTS)
    case 0x11:  // AAC (LATM)
    case 0x81:  // AC-3
    case 0x87:  // E-AC-3
      return true;
    default: return false;
  }
}

bool IsPicture(uint8_t streamType) {
  switch (streamType) {
    case 0x01:  // MPEG-1 video
    case 0x02:  // MPEG-2 video
    case 0x10:  // MPEG-4 part 2
    case 0x1B:  // H.264
    case 0x24:  // HEVC
    case 0x42:  // AVS
    case 0xEA:  // VC-1
      return true;
    default: return false;
  }
}

}  // namespace

int TsPicture(const uint8_t* data, size_t size) {
  uint32_t pmtPid = 0x2000;  // none yet
  for (size_t i = 0; i + kPacket <= size; i += kPacket) {
    uint32_t length = 0;
    const uint8_t* s = nullptr;
    if (pmtPid == 0x2000 && (s = SectionOf(data + i, 0, &length)) != nullptr && s[0] == 0x00) {
      for (uint32_t at = 8; at + 4 <= length - 4; at += 4)
        if ((s[at] << 8 | s[at + 1]) != 0) {  // program 0 is the network's
          pmtPid = (s[at + 2] & 0x1Fu) << 8 | s[at + 3];
          break;
        }
    } else if (pmtPid != 0x2000 && (s = SectionOf(data + i, pmtPid, &length)) != nullptr && s[0] == 0x02) {
      uint32_t at = 12u + ((s[10] & 0x0Fu) << 8 | s[11]);
      bool sound = false;
      for (; at + 5 <= length - 4; at += 5u + ((s[at + 3] & 0x0Fu) << 8 | s[at + 4])) {
        if (IsPicture(s[at])) return 1;
        sound = sound || IsSound(s[at]);
      }
      return sound ? 0 : -1;
    }
  }
  return -1;
}

}  // namespace stream_internal
