// A chunk's picture and its rendition's sound merged into the chunk's file:
// written beside it, then renamed over it, so a failure leaves it as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/ChunkToTs.h"
#include "app/orvado.h"

bool MergeSoundChunk(const char* videoPath, const char* soundPath, TsMerge* m) {
  char out[StreamUrlSize + 8];
  if (snprintf(out, sizeof out, "%s.tsw", videoPath) >= static_cast<int>(sizeof out)) return false;
  int video = open(videoPath, O_RDONLY);
  int sound = soundPath != nullptr ? open(soundPath, O_RDONLY) : -1;
  int ts = video >= 0 ? open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
  const TsMerge before = *m;
  bool ok = ts >= 0 && MergeSoundTs(video, sound, ts, m);
  if (video >= 0) close(video);
  if (sound >= 0) close(sound);
  if (ts >= 0 && close(ts) != 0) ok = false;
  if (ok) ok = rename(out, videoPath) == 0;
  if (!ok) {
    unlink(out);
    *m = before;
  }
  return ok;
}
