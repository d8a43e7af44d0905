// H.264 samples of MP4 (NAL units after their lengths) as the Annex B byte
// stream that TS carries, with what a decoder joining at a key frame needs.
#include <cstring>

#include "app/Mp4.h"

namespace mp4 {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
// An access unit delimiter that allows any picture type.
constexpr uint8_t kDelimiter[6] = {0, 0, 0, 1, 0x09, 0xF0};

}  // namespace

size_t AnnexBRoom(const Track& track, size_t size) {
  size_t length = track.lengthSize == 0 ? 4 : track.lengthSize;
  // Each NAL unit takes at least length + 1 bytes and grows by 4 - length.
  return sizeof kDelimiter + track.parameterSize + size + (4 - length) * (size / (length + 1) + 1);
}

size_t AvcToAnnexB(const Track& track, const uint8_t* sample, size_t size, bool key, uint8_t* out, size_t room,
                   bool* idr) {
  *idr = false;
  size_t length = track.lengthSize;
  if (length != 1 && length != 2 && length != 4) return 0;
  bool delimited = false, parameters = false;
  for (size_t at = 0, first = 1; at < size; first = 0) {
    if (size - at < length) return 0;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) n = n << 8 | sample[at + i];
    at += length;
    if (n > size - at) return 0;
    if (n > 0) {
      uint8_t type = sample[at] & 0x1F;
      if (type == 9 && first) delimited = true;
      if (type == 7) parameters = true;
      if (type == 5) *idr = true;
    }
    at += n;
  }
  if (room < AnnexBRoom(track, size)) return 0;
  size_t used = 0;
  if (!delimited) {
    memcpy(out, kDelimiter, sizeof kDelimiter);
    used = sizeof kDelimiter;
  }
  bool written = false;
  for (size_t at = 0; at < size;) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) n = n << 8 | sample[at + i];
    at += length;
    if (n == 0) continue;
    // SPS and PPS go after the delimiter, before the first picture data.
    if (!written && (key || *idr) && !parameters && (sample[at] & 0x1F) != 9) {
      memcpy(out + used, track.parameters, track.parameterSize);
      used += track.parameterSize;
      written = true;
    }
    memcpy(out + used, kStartCode, sizeof kStartCode);
    memcpy(out + used + sizeof kStartCode, sample + at, n);
    used += sizeof kStartCode + n;
    at += n;
  }
  return used;
}

}  // namespace mp4
