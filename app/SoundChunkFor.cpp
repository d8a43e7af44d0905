// Which segment of a rendition's list holds the sound of a picture's chunk.
#include "app/stream_internal.h"

namespace stream_internal {

namespace {

// Milliseconds from the list's first segment to the start of window[i];
// -1 when the window does not reach the list's end (the time of its start
// is then not known).
int64_t StartMs(const Playlist& list, uint32_t i) {
  if (list.windowStart + list.windowCount != list.segmentCount) return -1;
  uint64_t after = 0;
  for (uint32_t j = i; j < list.windowCount; ++j) after += list.window[j].durationMs;
  return after <= list.totalMs ? static_cast<int64_t>(list.totalMs - after) : -1;
}

}  // namespace

bool SoundChunkFor(const Playlist& video, const Chunk& chunk, const Playlist& sound, const char* base, Chunk* out) {
  const PlaylistSegment* match = nullptr;
  for (uint32_t i = 0; i < sound.windowCount && match == nullptr; ++i)
    if (sound.window[i].sequence == chunk.sequence) match = &sound.window[i];
  // Numbers of another count altogether: the sound list's window shares no
  // number with the picture's list. The two lists then meet by time.
  int64_t videoLast = video.mediaSequence + video.segmentCount - 1;
  int64_t soundLast = sound.mediaSequence + sound.segmentCount - 1;
  if (match == nullptr && (soundLast < video.mediaSequence || sound.mediaSequence > videoLast)) {
    int64_t at = -1;
    for (uint32_t i = 0; i < video.windowCount && at < 0; ++i)
      if (video.window[i].sequence == chunk.sequence) at = StartMs(video, i);
    // The sound segment that holds the picture's first moment, with half a
    // second's grace for lists whose segments are cut a little apart.
    for (uint32_t i = 0; at >= 0 && i < sound.windowCount; ++i) {
      int64_t start = StartMs(sound, i);
      if (start >= 0 && start <= at + 500 && at < start + sound.window[i].durationMs) match = &sound.window[i];
    }
  }
  return match != nullptr && match->terminated && ChunkOf(*match, sound.fragmentedMp4, base, *out);
}

}  // namespace stream_internal
