// The chunks that a chunk list offers the step, and what makes a chunk the
// one it is.
#include <cstdio>
#include <cstring>

#include "app/ResolveUrl.h"
#include "app/stream_internal.h"

namespace stream_internal {

bool Encrypted(const Playlist& list) { return list.lastKey.method != KEY_NONE; }

bool UsableChunk(const char* base, const PlaylistSegment& segment, char* url) {
  // A segment URI is relative to the chunk list that holds it.
  if (ResolveUrl(base, segment.uri.at, segment.uri.length, url, StreamUrlSize) && ShellSafe(url)) return true;
  url[0] = '\0';
  bool known = false;
  for (uint32_t h : Run.told) known = known || h == segment.lineHash;
  if (!known) {
    Run.told[Run.toldNext++ % (StreamMaxChunks + 1)] = segment.lineHash;
    char line[StreamUrlSize];
    snprintf(line, sizeof line, "%.*s",
             static_cast<int>(segment.uri.length < sizeof line ? segment.uri.length : sizeof line - 1), segment.uri.at);
    Fail("URL >> 2", "a chunk line that cannot be fetched:", line);
  }
  return false;
}

uint32_t SegmentId(const PlaylistSegment& segment) {
  uint32_t length = 0;
  while (length < segment.uri.length && segment.uri.at[length] != '?') ++length;
  const int64_t range[2] = {segment.rangeStart, segment.rangeLength};
  return (HashText(segment.uri.at, length) ^ (HashText(reinterpret_cast<const char*>(range), sizeof range) * 31u)) | 1u;
}

void ChunkIdentity(const Chunk& chunk, char* out, size_t size) {
  if (chunk.rangeStart < 0)
    snprintf(out, size, "%s", chunk.url);
  else
    // The range first: a ring entry that cuts a long URL keeps it.
    snprintf(out, size, "bytes=%lld+%lld %s", static_cast<long long>(chunk.rangeStart),
             static_cast<long long>(chunk.rangeLength), chunk.url);
}

namespace {

// The number under which Run.maps keeps the map URL `url` (never 0),
// kept there in place of the oldest when it is new.
uint32_t KeepMap(const char* url) {
  uint32_t id = HashText(url, strlen(url)) | 1u;
  for (uint32_t i = 0; i < RunMaps; ++i)
    if (Run.mapId[i] == id && strcmp(Run.maps[i], url) == 0) return id;
  uint32_t slot = Run.mapNext++ % RunMaps;
  Run.mapId[slot] = id;
  snprintf(Run.maps[slot], sizeof Run.maps[slot], "%s", url);
  return id;
}

}  // namespace

bool ChunkOf(const PlaylistSegment& segment, bool fragmented, const char* base, Chunk& chunk) {
  chunk.map = 0;
  chunk.mapRangeStart = segment.mapRangeStart;
  chunk.mapRangeLength = segment.mapRangeLength;
  if (!UsableChunk(base, segment, chunk.url)) return false;
  if (fragmented && segment.map.at != nullptr) {
    char map[StreamUrlSize];
    if (!ResolveUrl(base, segment.map.at, segment.map.length, map, sizeof map) || !ShellSafe(map)) {
      Fail("URL >> 2", "an init segment that cannot be fetched:", chunk.url, -1, SHOW_ONCE);
      chunk.url[0] = '\0';
      return false;
    }
    chunk.map = KeepMap(map);
  }
  chunk.sequence = segment.sequence;
  chunk.lineHash = segment.lineHash;
  chunk.id = SegmentId(segment);
  chunk.rangeStart = segment.rangeStart;
  chunk.rangeLength = segment.rangeLength;
  chunk.durationMs = segment.durationMs;
  return KeyFor(segment, base, chunk);
}

int32_t SelectStep(const Playlist& list, Chunk (&chunk)[StreamRingSize]) {
  uint32_t k = 0;
  if (Run.block != 0 && Run.bySequence) {
    uint32_t busy = Run.block - Run.blockOk;
    for (uint32_t i = 0; i < list.windowCount && k + busy < StreamRingSize; ++i) {
      const PlaylistSegment& segment = list.window[i];
      if (segment.sequence <= Run.lastStarted) continue;
      // A last line without its line end may still be being written.
      if (!segment.terminated) break;
      if (ChunkOf(segment, list.fragmentedMp4, Run.chunkListBase, chunk[k])) {
        ++k;
      } else if (chunk[k].url[0] == '\0') {
        Run.lastStarted = segment.sequence;  // skipped alone
        Run.lastStartedId = SegmentId(segment);
      } else {
        return k > 0 ? static_cast<int32_t>(k) : -1;  // no key: the rest waits
      }
    }
    return static_cast<int32_t>(k);
  }
  uint32_t count = list.segmentCount;
  uint32_t from = count > StreamMaxChunks ? count - StreamMaxChunks : 0;
  if (Run.block == 0 && list.ended) from = 0;
  for (uint32_t i = from; i < count && k < StreamMaxChunks; ++i) {
    const PlaylistSegment* segment = SegmentAt(list, i);
    if (segment == nullptr) continue;
    if (!list.media && (segment->opensText || !segment->terminated)) break;
    if (!segment->terminated) continue;
    if (ChunkOf(*segment, list.fragmentedMp4, Run.chunkListBase, chunk[k]))
      ++k;
    else if (chunk[k].url[0] != '\0')
      return -1;  // no key: nothing this step
  }
  return static_cast<int32_t>(k);
}

}  // namespace stream_internal
