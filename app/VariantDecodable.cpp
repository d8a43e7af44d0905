// What the receiver's decoder plays: MPEG-2 and H.264 video up to 1920 x
// 1080, MPEG audio, AAC and AC-3 sound. One table, read for every variant of
// a master playlist.
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

namespace {

struct CodecFamily {
  const char* prefix;  // as a CODECS item begins (RFC 6381)
  bool decodable;
};

// Items of other kinds (subtitles, timed metadata) are not named here and
// do not decide.
constexpr CodecFamily kCodecs[] = {
    {"avc1", true},    {"avc3", true},                        // H.264
    {"mp4v.60", true}, {"mp4v.61", true}, {"mp4v.62", true},  // MPEG-2 video
    {"mp4v.63", true}, {"mp4v.64", true}, {"mp4v.65", true}, {"mp4a.40", true}, {"mp4a.66", true},
    {"mp4a.67", true}, {"mp4a.68", true},                                    // AAC
    {"mp4a.69", true}, {"mp4a.6B", true}, {"mp4a.6b", true}, {"mp3", true},  // MPEG audio
    {"ac-3", true},    {"hvc1", false},   {"hev1", false},   {"dvh1", false},   {"dvhe", false},
    {"vp08", false},   {"vp09", false},   {"av01", false},   {"mp4v", false},   {"ec-3", false},
    {"ac-4", false},   {"opus", false},   {"Opus", false},   {"fLaC", false},   {"mp4a", false},
};

// The family of the item of `length` bytes at `item`; null for one not named.
const CodecFamily* FamilyOf(const char* item, size_t length) {
  for (const CodecFamily& family : kCodecs) {
    size_t n = strlen(family.prefix);
    if (length >= n && memcmp(item, family.prefix, n) == 0 && (length == n || item[n] == '.' || n > 4)) return &family;
  }
  return nullptr;
}

uint32_t Number(const char*& p, const char* end) {
  uint32_t value = 0;
  while (p < end && *p >= '0' && *p <= '9' && value < 100000) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  return value;
}

}  // namespace

bool VariantDecodable(const PlaylistVariant& v) {
  if (v.resolution.at != nullptr) {
    const char* p = v.resolution.at;
    const char* end = p + v.resolution.length;
    uint32_t width = Number(p, end);
    uint32_t height = p < end && (*p == 'x' || *p == 'X') ? Number(++p, end) : 0;
    if (width > 1920 || height > 1080) return false;
  }
  if (v.codecs.at == nullptr) return true;
  const char* p = v.codecs.at;
  const char* end = p + v.codecs.length;
  while (p < end) {
    while (p < end && (*p == ' ' || *p == ',')) ++p;
    const char* item = p;
    while (p < end && *p != ',') ++p;
    size_t length = static_cast<size_t>(p - item);
    while (length > 0 && item[length - 1] == ' ') --length;
    const CodecFamily* family = length > 0 ? FamilyOf(item, length) : nullptr;
    if (family != nullptr && !family->decodable) return false;
  }
  return true;
}

}  // namespace stream_internal
