// ID3v2 tags at the start of packed audio chunks: skipped, but their PRIV
// frame "com.apple.streaming.transportStreamTimestamp" gives the chunk's
// place in time. Every length is checked against the bytes at hand.
#include <cstring>

#include "app/ChunkToTs.h"

namespace {

constexpr char kOwner[] = "com.apple.streaming.transportStreamTimestamp";

// A 28-bit "syncsafe" integer (7 bits a byte); false when a byte has its top bit.
bool Syncsafe(const uint8_t* p, uint32_t* value) {
  if (((p[0] | p[1] | p[2] | p[3]) & 0x80) != 0) return false;
  *value = (static_cast<uint32_t>(p[0]) << 21) | (static_cast<uint32_t>(p[1]) << 14) |
           (static_cast<uint32_t>(p[2]) << 7) | p[3];
  return true;
}

uint32_t BigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void ReadPriv(const uint8_t* body, size_t size, int64_t* timestamp) {
  constexpr size_t kOwnerSize = sizeof kOwner;  // with its NUL
  if (size != kOwnerSize + 8 || memcmp(body, kOwner, kOwnerSize) != 0) return;
  const uint8_t* t = body + kOwnerSize;
  int64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | t[i];
  *timestamp = value & ((int64_t{1} << 33) - 1);
}

}  // namespace

uint32_t Id3TagLength(const uint8_t* data, size_t size, int64_t* timestamp) {
  if (size < 10 || memcmp(data, "ID3", 3) != 0) return 0;
  uint8_t major = data[3];
  uint8_t flags = data[5];
  uint32_t bodySize = 0;
  if (major < 2 || major > 4 || data[4] == 0xFF || !Syncsafe(data + 6, &bodySize)) return 0;
  uint32_t length = 10 + bodySize + (major == 4 && (flags & 0x10) != 0 ? 10 : 0);
  // Frames are read only in tags without unsynchronisation (which would
  // change their bytes) and in the versions that have four-letter names.
  if ((flags & 0x80) != 0 || major == 2) return length;
  size_t end = 10 + static_cast<size_t>(bodySize);
  if (end > size) end = size;
  size_t at = 10;
  if ((flags & 0x40) != 0) {  // an extended header comes first
    if (end - at < 4) return length;
    uint32_t extended = 0;
    if (major == 4) {
      if (!Syncsafe(data + at, &extended)) return length;
    } else {
      extended = BigEndian32(data + at) + 4;
    }
    if (extended > end - at) return length;
    at += extended;
  }
  while (end - at >= 10 && data[at] != 0) {
    uint32_t frameSize = 0;
    if (major == 4) {
      if (!Syncsafe(data + at + 4, &frameSize)) break;
    } else {
      frameSize = BigEndian32(data + at + 4);
    }
    if (frameSize > end - at - 10) break;
    // A frame compressed or encrypted (v4 format flags, v3 0xC0) is not read.
    bool plain = (data[at + 9] & (major == 4 ? 0x0F : 0xC0)) == 0;
    if (plain && memcmp(data + at, "PRIV", 4) == 0) ReadPriv(data + at + 10, frameSize, timestamp);
    at += 10 + frameSize;
  }
  return length;
}
