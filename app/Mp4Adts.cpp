// The ADTS header that AAC frames carry in TS, from the track's
// AudioSpecificConfig (kept in ADTS's own bit order by ReadInit).
#include "app/Mp4.h"

namespace mp4 {

bool AdtsHeader(const Track& track, size_t size, uint8_t out[7]) {
  size_t length = size + 7;
  if (length > 0x1FFF) return false;
  out[0] = 0xFF;
  out[1] = 0xF1;  // MPEG-4, no CRC
  out[2] = track.adts[0];
  out[3] = static_cast<uint8_t>(track.adts[1] | length >> 11);
  out[4] = static_cast<uint8_t>(length >> 3);
  out[5] = static_cast<uint8_t>((length & 7) << 5 | 0x1F);
  out[6] = 0xFC;  // buffer fullness "variable", one raw data block
  return true;
}

}  // namespace mp4
