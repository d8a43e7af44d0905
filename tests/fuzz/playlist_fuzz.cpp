// The download pipeline's parsers on random input: URI resolution, playlists,
// attribute lists, wget's redirect lines, chunk lists and chunk logs. The input's first line is the URL of the
// playlist (the base), the rest its text. Texts sit in blocks of twice their
// length, as the pipeline loads files, and results in blocks of exactly their
// size, so ASan sees any access beyond them. Nothing chosen may leave the
// shell's quotes or exceed the URL limit.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/orvado.h"
#include "app/stream_internal.h"
#include "fuzz_support.h"

namespace {

char* loaded(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(std::calloc(size * 2 + 1, 1));
  if (size) std::memcpy(text, data, size);
  return text;
}

// A URL that the pipeline may hand to the shell.
void checkUsable(const char* url) {
  size_t n = strnlen(url, StreamUrlSize);
  FUZZ_CHECK(n < StreamUrlSize);
  FUZZ_CHECK(std::strchr(url, '\'') == nullptr);
  FUZZ_CHECK(url[0] != '-');
  FUZZ_CHECK(std::strchr(url, '\n') == nullptr);
}

bool sameSpan(const stream_internal::TextSpan& span, const char* text) {
  return span.at != nullptr && std::strlen(text) == span.length && std::memcmp(span.at, text, span.length) == 0;
}

stream_internal::Playlist& parsed() {
  static stream_internal::Playlist list;
  return list;
}

// A span is absent, or lies within the text.
void checkSpan(const stream_internal::TextSpan& span, const char* text, const char* end) {
  if (span.at == nullptr) return;
  FUZZ_CHECK(span.at >= text && span.at + span.length <= end);
  FUZZ_CHECK(std::memchr(span.at, '\n', span.length) == nullptr);
  FUZZ_CHECK(std::memchr(span.at, '\r', span.length) == nullptr);
}

void checkSegment(const stream_internal::PlaylistSegment& s, const char* text, const char* end) {
  checkSpan(s.uri, text, end);
  FUZZ_CHECK(s.uri.at != nullptr && s.uri.length > 0);
  checkSpan(s.key.uri, text, end);
  checkSpan(s.key.iv, text, end);
  checkSpan(s.map, text, end);
  FUZZ_CHECK((s.rangeStart < 0) == (s.rangeLength < 0));
  FUZZ_CHECK((s.mapRangeStart < 0) == (s.mapRangeLength < 0));
  FUZZ_CHECK(s.mapRangeLength != 0);
}

// What the record says of the text it was read from.
void checkPlaylist(const stream_internal::Playlist& list, const char* text, const char* end, int64_t from) {
  FUZZ_CHECK(list.windowCount <= stream_internal::PlaylistWindow);
  FUZZ_CHECK(list.windowStart + list.windowCount <= list.segmentCount);
  FUZZ_CHECK((list.windowCount == 0) == (list.segmentCount == 0));
  for (uint32_t i = 0; i < list.windowCount; ++i) {
    checkSegment(list.window[i], text, end);
    FUZZ_CHECK(list.window[i].sequence == list.mediaSequence + list.windowStart + i);
    if (i > 0) FUZZ_CHECK(list.window[i].uri.at > list.window[i - 1].uri.at);
  }
  if (list.segmentCount > 0) {
    checkSegment(list.first, text, end);
    FUZZ_CHECK(list.first.sequence == list.mediaSequence);
    // The window ends at the list's end unless it would pass over the first
    // segment numbered `from` or above.
    bool atEnd = list.windowStart + list.windowCount == list.segmentCount;
    if (from < 0) FUZZ_CHECK(atEnd);
    if (!atEnd) {
      FUZZ_CHECK(list.windowCount == stream_internal::PlaylistWindow);
      FUZZ_CHECK(list.window[0].sequence >= from);
      FUZZ_CHECK(list.windowStart == 0 || list.window[0].sequence - 1 < from);
    }
  }
  FUZZ_CHECK(list.variantCount <= stream_internal::PlaylistVariants);
  for (uint32_t i = 0; i < list.variantCount; ++i) {
    checkSpan(list.variant[i].uri, text, end);
    checkSpan(list.variant[i].audio, text, end);
    checkSpan(list.variant[i].codecs, text, end);
  }
  FUZZ_CHECK(list.master == (list.variantCount > 0));
  FUZZ_CHECK(list.renditionCount <= stream_internal::PlaylistRenditions);
  for (uint32_t i = 0; i < list.renditionCount; ++i) {
    checkSpan(list.rendition[i].uri, text, end);
    checkSpan(list.rendition[i].groupId, text, end);
  }
  checkSpan(list.lastKey.uri, text, end);
  // A record of the same text is the same whatever the window.
  FUZZ_CHECK(list.hash == stream_internal::HashText(text, static_cast<size_t>(end - text)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::receiver();
  // The status line draws with the TAP's fonts and region.
  TAP_Main();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* lineEnd = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  size_t baseLength = lineEnd ? static_cast<size_t>(lineEnd - data) : size;
  if (std::memchr(data, '\0', baseLength) != nullptr)
    baseLength = strnlen(reinterpret_cast<const char*>(data), baseLength);
  if (baseLength >= StreamUrlSize) baseLength = StreamUrlSize - 1;
  const uint8_t* body = lineEnd ? lineEnd + 1 : data + size;
  size_t bodySize = static_cast<size_t>(data + size - body);

  // The resolver alone, into a block of a size the input picks.
  char base[StreamUrlSize] = {};
  std::memcpy(base, data, baseLength);
  size_t outSize = 1 + (bodySize > 0 ? body[0] % 64 : 0) * 8;
  char* out = static_cast<char*>(std::malloc(outSize));
  char* reference = loaded(body, bodySize);
  bool fits = ResolveUrl(base, reference, bodySize, out, outSize);
  FUZZ_CHECK(strnlen(out, outSize) < outSize);
  if (!fits) FUZZ_CHECK(out[0] == '\0');
  std::free(out);

  // The playlist read once, and the decisions on it. The text as the
  // pipeline loads it, in a block of twice its length.
  char* text = loaded(body, bodySize);
  const char* end = text + strlen(text);
  stream_internal::Playlist& list = parsed();
  int64_t from = bodySize > 1 ? body[1] % 8 - 1 : -1;
  stream_internal::ParsePlaylist(text, from, &list);
  checkPlaylist(list, text, end, from);

  std::strcpy(_OrvadoURLXXX, "http://127.0.0.1:8080/live");
  std::strcpy(_OrvadoChunkName, "index.m3u8");
  std::strcpy(_OrvadoChunkListURL, base);
  if (stream_internal::ChooseVariant(list) && std::strcmp(_OrvadoChunkListURL, base) != 0) {
    checkUsable(_OrvadoChunkListURL);
    // The chosen variant is one of the list's decodable ones: the highest
    // bandwidth of those with a picture (of all when none has) whose own
    // segments carry sound (of all those when none does).
    auto decodable = [&](uint32_t i) { return stream_internal::VariantDecodable(list.variant[i]); };
    auto picture = [&](uint32_t i) { return decodable(i) && stream_internal::VariantHasPicture(list.variant[i]); };
    auto sound = [&](uint32_t i) { return decodable(i) && stream_internal::VariantHasSound(list, list.variant[i]); };
    bool anyPicture = false, anySound = false;
    for (uint32_t i = 0; i < list.variantCount; ++i) anyPicture = anyPicture || picture(i);
    for (uint32_t i = 0; i < list.variantCount; ++i) anySound = anySound || ((!anyPicture || picture(i)) && sound(i));
    auto preferred = [&](uint32_t i) { return decodable(i) && (!anyPicture || picture(i)) && (!anySound || sound(i)); };
    uint32_t best = 0;
    for (uint32_t i = 0; i < list.variantCount; ++i)
      if (preferred(i)) best = std::max(best, list.variant[i].bandwidth);
    bool found = false;
    for (uint32_t i = 0; i < list.variantCount; ++i)
      found = found ||
              (sameSpan(list.variant[i].uri, _OrvadoChunkName) && list.variant[i].bandwidth == best && preferred(i));
    FUZZ_CHECK(found);
  }
  FUZZ_CHECK(std::memchr(_OrvadoChunkName, '\0', sizeof _OrvadoChunkName) != nullptr);
  FUZZ_CHECK(std::memchr(_OrvadoChunkListURL, '\0', sizeof _OrvadoChunkListURL) != nullptr);

  // The chunks selected are the last three segments (those usable), in order.
  stream_internal::ParsePlaylist(text, -1, &list);
  checkPlaylist(list, text, end, -1);
  stream_internal::Encrypted(list);
  // A channel's first step selects what the pipeline fetches: the last three
  // usable segments of a live list, the first three of one that has ended,
  // in list order. A list with keys is left out: its keys would be fetched.
  bool keyed = list.lastKey.method != stream_internal::KEY_NONE;
  for (uint32_t i = 0; i < list.windowCount; ++i)
    keyed = keyed || list.window[i].key.method != stream_internal::KEY_NONE;
  if (!keyed) {
    std::memset(&stream_internal::Run, 0, sizeof stream_internal::Run);
    std::snprintf(stream_internal::Run.chunkListBase, sizeof stream_internal::Run.chunkListBase, "%s", base);
    static stream_internal::Chunk chunk[StreamRingSize];
    int32_t k = stream_internal::SelectStep(list, chunk);
    FUZZ_CHECK(k >= 0 && k <= static_cast<int32_t>(StreamMaxChunks));
    FUZZ_CHECK(static_cast<uint32_t>(k) <= list.segmentCount);
    uint32_t next = list.ended || list.segmentCount <= StreamMaxChunks ? 0 : list.segmentCount - StreamMaxChunks;
    for (int32_t i = 0; i < k; ++i) {
      checkUsable(chunk[i].url);
      bool matched = false;
      for (; next < list.segmentCount && !matched; ++next) {
        const stream_internal::PlaylistSegment* s = stream_internal::SegmentAt(list, next);
        char url[StreamUrlSize];
        matched = s != nullptr && ResolveUrl(base, s->uri.at, s->uri.length, url, sizeof url) &&
                  std::strcmp(url, chunk[i].url) == 0;
      }
      FUZZ_CHECK(matched);
    }
    // A list as its own sound rendition: each chunk's sound is the segment
    // of its own number.
    for (int32_t i = 0; i < k; ++i) {
      stream_internal::Chunk sound;
      if (stream_internal::SoundChunkFor(list, chunk[i], list, base, &sound))
        FUZZ_CHECK(sound.sequence == chunk[i].sequence && std::strcmp(sound.url, chunk[i].url) == 0);
    }
  }
  std::free(text);

  // wget's log of redirects: the URL it led to fits, whatever the log says.
  char led[StreamUrlSize];
  if (stream_internal::FollowRedirects(reference, base, led, sizeof led)) {
    FUZZ_CHECK(strnlen(led, sizeof led) < sizeof led);
  }

  // Attribute lists: a value found lies within the list.
  const char* value = nullptr;
  size_t valueLength = 0;
  for (const char* name : {"BANDWIDTH", "METHOD", "URI"}) {
    if (stream_internal::AttributeValue(reference, bodySize, name, &value, &valueLength)) {
      FUZZ_CHECK(value >= reference && value + valueLength <= reference + bodySize);
    }
  }

  char* log = loaded(data, size);
  int32_t status = 0;
  stream_internal::ChunkLogState state = stream_internal::JudgeChunkLog(log, &status);
  FUZZ_CHECK((state == stream_internal::CHUNK_LOADING) == (status < 0));
  FUZZ_CHECK((state == stream_internal::CHUNK_COMPLETE) == (status == 0));
  std::free(log);
  std::free(reference);
  return 0;
}
