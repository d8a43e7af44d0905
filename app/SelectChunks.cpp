// The chunks that a chunk list offers the step.
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/stream_internal.h"

namespace stream_internal {

bool ShellSafe(const char* url) { return strchr(url, '\'') == nullptr && url[0] != '-'; }

bool Encrypted(const Playlist& list) { return list.lastKey.method != KEY_NONE; }

bool FragmentedMp4(const Playlist& list) { return list.fragmentedMp4; }

// Resolves one chunk line into `url`; false, told once while the line stays
// listed, when it cannot be used.
bool UsableChunk(const char* base, const PlaylistSegment& segment, char* url) {
  // A segment URI is relative to the chunk list that holds it.
  if (ResolveUrl(base, segment.uri.at, segment.uri.length, url, StreamUrlSize) && ShellSafe(url)) return true;
  url[0] = '\0';
  static uint32_t told[StreamMaxChunks + 1];
  static uint32_t next = 0;
  bool known = false;
  for (uint32_t h : told) known = known || h == segment.lineHash;
  if (!known) {
    told[next++ % (StreamMaxChunks + 1)] = segment.lineHash;
    char line[StreamUrlSize];
    uint32_t n = segment.uri.length < sizeof line ? segment.uri.length : sizeof line - 1;
    memcpy(line, segment.uri.at, n);
    line[n] = '\0';
    Fail("URL >> 2", "a chunk line that cannot be fetched:", line);
  }
  return false;
}

int32_t SelectChunks(const Playlist& list, const char* base, char (&chunk)[StreamMaxChunks][StreamUrlSize]) {
  uint32_t count = list.segmentCount;
  int32_t k = 0;
  for (uint32_t i = count > StreamMaxChunks ? count - StreamMaxChunks : 0; i < count; ++i) {
    const PlaylistSegment* segment = SegmentAt(list, i);
    if (segment == nullptr) continue;
    // A last line without its line end may still be being written.
    if (!list.media && (segment->opensText || !segment->terminated)) break;
    if (!segment->terminated) continue;
    if (UsableChunk(base, *segment, chunk[k])) ++k;
  }
  return k;
}

}  // namespace stream_internal
