// A playlist in one pass: each line is looked at once, as it comes, and what
// the step decides on (segments, variants, renditions, keys, maps, the list's
// end) lands in a Playlist. Real servers' ways are allowed for: line ends of
// either kind, blanks around a line, a byte-order mark, quoted commas in
// attribute lists, any case in attribute names.
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

bool Begins(const char* at, uint32_t length, const char* tag) {
  size_t n = strlen(tag);
  return length >= n && memcmp(at, tag, n) == 0;
}

bool HoldsTs(const char* at, uint32_t length) {
  for (uint32_t i = 0; i + 3 <= length; ++i)
    if (at[i] == '.' && at[i + 1] == 't' && at[i + 2] == 's') return true;
  return false;
}

// Digits at `at` (blanks before them allowed), saturating far below the
// 64-bit limit; false when there is no digit.
bool Decimal(const char* at, uint32_t length, int64_t* value, uint32_t* used = nullptr) {
  uint32_t i = 0;
  while (i < length && IsBlank(at[i])) ++i;
  uint32_t digits = i;
  int64_t v = 0;
  for (; i < length && at[i] >= '0' && at[i] <= '9'; ++i)
    if (v < (INT64_C(1) << 50)) v = v * 10 + (at[i] - '0');
  if (used != nullptr) *used = i;
  if (i == digits) return false;
  *value = v;
  return true;
}

// Seconds with up to three decimals ("6.006") as milliseconds.
uint32_t Milliseconds(const char* at, uint32_t length) {
  int64_t whole = 0;
  uint32_t i = 0;
  if (!Decimal(at, length, &whole, &i)) return 0;
  if (whole > 1000000) whole = 1000000;
  uint32_t ms = static_cast<uint32_t>(whole) * 1000;
  if (i < length && at[i] == '.') {
    uint32_t scale = 100;
    for (++i; i < length && at[i] >= '0' && at[i] <= '9'; ++i, scale /= 10)
      ms += scale * static_cast<uint32_t>(at[i] - '0');
  }
  return ms;
}

TextSpan Attribute(const char* list, uint32_t length, const char* name) {
  const char* value = nullptr;
  size_t valueLength = 0;
  if (!AttributeValue(list, length, name, &value, &valueLength)) return TextSpan{nullptr, 0};
  return TextSpan{value, static_cast<uint32_t>(valueLength)};
}

// The receiver's strtol has a 32-bit long and saturates there.
uint32_t Bandwidth(const TextSpan& value) {
  char digits[16] = "";
  if (value.at != nullptr) {
    uint32_t n = value.length < sizeof digits ? value.length : sizeof digits - 1;
    memcpy(digits, value.at, n);
    digits[n] = '\0';
  }
  int64_t v = strtol(digits, nullptr, 10);
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(v));
}

uint32_t Mix(uint32_t h, int64_t value) {
  for (int i = 0; i < 8; ++i) h = (h ^ static_cast<uint8_t>(value >> (8 * i))) * 16777619u;
  return h;
}

// What a pass carries from line to line.
struct Pass {
  Playlist* list;
  int64_t from;
  bool extinf;          // an #EXTINF has been met: URI lines are segments
  bool variantOpen;     // an #EXT-X-STREAM-INF waits for its URI line
  uint32_t durationMs;  // of the next segment
  bool discontinuity;
  int64_t rangeStart, rangeLength, rangeNext;
  PlaylistKey key;
  TextSpan map;
  int64_t mapRangeStart, mapRangeLength;
  // The window as a ring while the pass runs.
  PlaylistSegment ring[PlaylistWindow];
  bool anchored;   // the first segment numbered `from` or above is window's oldest
  int64_t anchor;  // its place in the list, -1 before it came
  bool frozen;     // the window is full from the anchor on
};

Pass pass;  // 3 KB: kept off the receiver's small stack

void Segment(Pass& p, const char* at, uint32_t length, bool terminated, bool opensText) {
  Playlist& list = *p.list;
  uint32_t index = list.segmentCount++;
  PlaylistSegment s;
  s.uri = TextSpan{at, length};
  s.terminated = terminated;
  s.opensText = opensText;
  s.discontinuity = p.discontinuity;
  s.durationMs = p.durationMs;
  list.totalMs += p.durationMs;
  s.sequence = list.mediaSequence + index;
  s.rangeStart = p.rangeStart;
  s.rangeLength = p.rangeLength;
  s.key = p.key;
  s.map = p.map;
  s.mapRangeStart = p.mapRangeStart;
  s.mapRangeLength = p.mapRangeLength;
  s.lineHash = HashText(at, length);
  if (s.rangeStart >= 0) s.lineHash = Mix(Mix(s.lineHash, s.rangeStart), s.rangeLength);
  p.durationMs = 0;
  p.discontinuity = false;
  p.rangeStart = p.rangeLength = -1;
  if (index == 0) list.first = s;
  if (p.anchor < 0 && p.from >= 0 && s.sequence >= p.from) p.anchor = index;
  if (p.frozen) return;
  if (index - list.windowStart == PlaylistWindow) {
    if (p.anchor >= 0 && list.windowStart == static_cast<uint64_t>(p.anchor)) {
      p.frozen = true;
      return;
    }
    ++list.windowStart;
  }
  p.ring[index % PlaylistWindow] = s;
  list.windowCount = index + 1 - list.windowStart;
}

void Variant(Pass& p, const char* at, uint32_t length) {
  Playlist& list = *p.list;
  list.master = true;
  p.variantOpen = false;
  if (list.variantCount >= PlaylistVariants) return;
  const char* attributes = at + strlen("#EXT-X-STREAM-INF:");
  uint32_t n = length - static_cast<uint32_t>(attributes - at);
  PlaylistVariant& v = list.variant[list.variantCount++];
  v.uri = TextSpan{nullptr, 0};
  // BANDWIDTH by its whole name: AVERAGE-BANDWIDTH may come first.
  v.bandwidth = Bandwidth(Attribute(attributes, n, "BANDWIDTH"));
  v.audio = Attribute(attributes, n, "AUDIO");
  v.codecs = Attribute(attributes, n, "CODECS");
  v.resolution = Attribute(attributes, n, "RESOLUTION");
  p.variantOpen = true;
}

void Rendition(Pass& p, const char* at, uint32_t length) {
  Playlist& list = *p.list;
  if (list.renditionCount >= PlaylistRenditions) return;
  const char* attributes = at + strlen("#EXT-X-MEDIA:");
  uint32_t n = length - static_cast<uint32_t>(attributes - at);
  PlaylistRendition& r = list.rendition[list.renditionCount++];
  r.type = Attribute(attributes, n, "TYPE");
  r.groupId = Attribute(attributes, n, "GROUP-ID");
  r.name = Attribute(attributes, n, "NAME");
  r.uri = Attribute(attributes, n, "URI");
  r.isDefault = SpanIs(Attribute(attributes, n, "DEFAULT"), "YES");
}

void Key(Pass& p, const char* at, uint32_t length) {
  const char* attributes = at + strlen("#EXT-X-KEY:");
  uint32_t n = length - static_cast<uint32_t>(attributes - at);
  TextSpan method = Attribute(attributes, n, "METHOD");
  PlaylistKey key;
  key.method = method.at == nullptr || SpanIs(method, "NONE") ? KEY_NONE
               : SpanIs(method, "AES-128")                    ? KEY_AES128
                                                              : KEY_OTHER;
  key.uri = Attribute(attributes, n, "URI");
  key.iv = Attribute(attributes, n, "IV");
  p.key = key;
  p.list->lastKey = key;
}

void Map(Pass& p, const char* at, uint32_t length) {
  const char* attributes = at + strlen("#EXT-X-MAP:");
  uint32_t n = length - static_cast<uint32_t>(attributes - at);
  TextSpan uri = Attribute(attributes, n, "URI");
  if (uri.at == nullptr) return;
  p.map = uri;
  // BYTERANGE="n@o": the init segment is that part of the resource.
  TextSpan range = Attribute(attributes, n, "BYTERANGE");
  int64_t count = 0, offset = 0;
  uint32_t used = 0;
  p.mapRangeStart = p.mapRangeLength = -1;
  if (range.at != nullptr && Decimal(range.at, range.length, &count, &used) && count > 0 &&
      (used == range.length ||
       (range.at[used] == '@' && Decimal(range.at + used + 1, range.length - used - 1, &offset)))) {
    p.mapRangeStart = offset;
    p.mapRangeLength = count;
  }
  // A transport stream may have its tables in a map of its own.
  uint32_t path = 0;
  while (path < uri.length && uri.at[path] != '?' && uri.at[path] != '#') ++path;
  if (!(path >= 3 && memcmp(uri.at + path - 3, ".ts", 3) == 0)) p.list->fragmentedMp4 = true;
}

void ByteRange(Pass& p, const char* at, uint32_t length) {
  const char* value = at + strlen("#EXT-X-BYTERANGE:");
  uint32_t n = length - static_cast<uint32_t>(value - at);
  int64_t count = 0, offset = 0;
  uint32_t used = 0;
  if (!Decimal(value, n, &count, &used)) return;
  // Without an offset the range follows the one before.
  if (used < n && value[used] == '@') {
    if (!Decimal(value + used + 1, n - used - 1, &offset)) return;
  } else {
    offset = p.rangeNext;
  }
  p.rangeStart = offset;
  p.rangeLength = count;
  p.rangeNext = offset + count;
}

void Line(Pass& p, const char* at, uint32_t length, bool terminated, bool opensText) {
  Playlist& list = *p.list;
  bool ts = HoldsTs(at, length);
  list.holdsTs = list.holdsTs || ts;
  if (length == 0) return;
  if (at[0] != '#') {
    if (p.variantOpen) {
      list.variant[list.variantCount - 1].uri = TextSpan{at, length};
      p.variantOpen = false;
    }
    if (p.extinf || ts) Segment(p, at, length, terminated, opensText);
    return;
  }
  // Lists without #EXTINF take any line with ".ts" as a chunk, as the
  // simplest lists write them; tags included.
  if (!p.extinf && ts && !Begins(at, length, "#EXTINF:")) Segment(p, at, length, terminated, opensText);
  if (Begins(at, length, "#EXTINF:")) {
    if (!p.extinf) {
      // The segments are the URI lines after the first #EXTINF.
      p.extinf = true;
      list.media = true;
      list.segmentCount = list.windowStart = list.windowCount = 0;
      p.anchor = -1;
      p.frozen = false;
    }
    p.durationMs = Milliseconds(at + 8, length - 8);
  } else if (Begins(at, length, "#EXT-X-STREAM-INF:")) {
    Variant(p, at, length);
  } else if (Begins(at, length, "#EXT-X-MEDIA:")) {
    Rendition(p, at, length);
  } else if (Begins(at, length, "#EXT-X-KEY:")) {
    Key(p, at, length);
  } else if (Begins(at, length, "#EXT-X-MAP:")) {
    Map(p, at, length);
  } else if (Begins(at, length, "#EXT-X-BYTERANGE:")) {
    ByteRange(p, at, length);
  } else if (length == 20 && Begins(at, length, "#EXT-X-DISCONTINUITY")) {
    p.discontinuity = true;
  } else if (Begins(at, length, "#EXT-X-ENDLIST")) {
    list.ended = true;
  } else if (Begins(at, length, "#EXT-X-TARGETDURATION:")) {
    if (list.targetDuration < 0 && !Decimal(at + 22, length - 22, &list.targetDuration)) list.targetDuration = 0;
  } else if (Begins(at, length, "#EXT-X-MEDIA-SEQUENCE:") && list.segmentCount == 0) {
    // It numbers the segments after it; one after the first is not HLS.
    list.hasSequence = Decimal(at + 22, length - 22, &list.mediaSequence) || list.hasSequence;
  }
}

}  // namespace

bool SpanIs(const TextSpan& span, const char* word) {
  size_t n = strlen(word);
  return span.at != nullptr && span.length == n && memcmp(span.at, word, n) == 0;
}

bool SameText(const TextSpan& span, const char* text) {
  size_t n = strlen(text);
  if (span.at == nullptr) return n == 0;
  return span.length == n && memcmp(span.at, text, n) == 0;
}

void ParsePlaylist(const char* text, int64_t from, Playlist* list) {
  memset(list, 0, sizeof *list);
  list->targetDuration = -1;
  Pass& p = pass;
  memset(&p, 0, sizeof p);
  p.list = list;
  p.from = from;
  p.rangeStart = p.rangeLength = -1;
  p.mapRangeStart = p.mapRangeLength = -1;
  p.anchor = -1;
  uint32_t hash = 2166136261u;
  const char* c = text;
  while (*c != '\0') {
    const char* start = c;
    while (*c != '\0' && !IsLineEnd(*c)) hash = (hash ^ static_cast<unsigned char>(*c++)) * 16777619u;
    const char* end = c;
    bool terminated = *c != '\0';
    if (terminated) hash = (hash ^ static_cast<unsigned char>(*c++)) * 16777619u;
    const char* at = start;
    // The UTF-8 byte-order mark some servers put before the first line.
    if (end - at >= 3 && memcmp(at, "\xEF\xBB\xBF", 3) == 0) at += 3;
    while (at < end && IsBlank(*at)) ++at;
    while (end > at && IsBlank(end[-1])) --end;
    Line(p, at, static_cast<uint32_t>(end - at), terminated, start == text);
  }
  list->hash = hash;
  // The ring in list order, numbered by the list's own sequence.
  for (uint32_t k = 0; k < list->windowCount; ++k) {
    list->window[k] = p.ring[(list->windowStart + k) % PlaylistWindow];
    list->window[k].sequence = list->mediaSequence + list->windowStart + k;
  }
  list->first.sequence = list->mediaSequence;
}

const PlaylistSegment* SegmentAt(const Playlist& list, uint32_t index) {
  if (index >= list.windowStart && index - list.windowStart < list.windowCount)
    return &list.window[index - list.windowStart];
  if (index == 0 && list.segmentCount > 0) return &list.first;
  return nullptr;
}

}  // namespace stream_internal
