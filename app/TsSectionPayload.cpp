// A table section's packet payload: pointer field, section, CRC, stuffing.
#include <cstring>

#include "app/TsWriter.h"

namespace {

// MPEG-2 CRC32 (polynomial 0x04C11DB7, not reflected, no final xor).
uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

}  // namespace

void TsSectionPayload(uint8_t* packet, const uint8_t* section, size_t size) {
  packet[4] = 0;
  memcpy(packet + 5, section, size);
  uint32_t crc = Crc32(section, size);
  uint8_t* end = packet + 5 + size;
  end[0] = static_cast<uint8_t>(crc >> 24);
  end[1] = static_cast<uint8_t>(crc >> 16);
  end[2] = static_cast<uint8_t>(crc >> 8);
  end[3] = static_cast<uint8_t>(crc);
  memset(end + 4, 0xFF, static_cast<size_t>(packet + TsPacketSize - (end + 4)));
}
