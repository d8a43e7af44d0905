// The chunk converter's dispatcher: a chunk's first bytes tell its form, and
// a form that the player cannot read is written anew as transport stream
// beside the chunk, then renamed over it.
#include "app/ChunkToTs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/orvado.h"

void ChunkToTsReset(TsConversion* c) {
  TsWriterReset(&c->ts);
  c->audioNext = -1;
  c->audioTicks = 0;
}

bool IsPackedAudio(const uint8_t* data, size_t size) {
  AudioFrame frame;
  return (size >= 3 && memcmp(data, "ID3", 3) == 0) || AudioFrameAt(data, size, &frame);
}

bool ChunkToTs(const char* path, TsConversion* c, int64_t* fetchedBytes) {
  int64_t ignored = 0;
  int64_t& fetched = fetchedBytes != nullptr ? *fetchedBytes : ignored;
  fetched = -1;
  int in = open(path, O_RDONLY);
  if (in < 0) return false;
  fetched = lseek(in, 0, SEEK_END);
  uint8_t head[16];
  ssize_t got = fetched >= 0 && lseek(in, 0, SEEK_SET) == 0 ? read(in, head, sizeof head) : -1;
  if (got <= 0 || !IsPackedAudio(head, static_cast<size_t>(got)) || lseek(in, 0, SEEK_SET) != 0) {
    // Transport stream stays byte for byte; what is neither is for the
    // caller's check to refuse.
    close(in);
    return got >= 0;
  }
  char out[StreamUrlSize + 8];
  if (snprintf(out, sizeof out, "%s.tsw", path) >= static_cast<int>(sizeof out)) {
    close(in);
    return false;
  }
  int ts = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A chunk that fails leaves nothing in Stream.ts, so the writer's counters
  // and tracks and the clock must not move past it.
  TsWriter& w = c->ts;
  uint8_t continuity[sizeof w.continuity];
  memcpy(continuity, w.continuity, sizeof continuity);
  const uint8_t pmtVersion = w.pmtVersion;
  const TsCodec video = w.video, audio = w.audio;
  const int64_t audioNext = c->audioNext;
  const int64_t audioTicks = c->audioTicks;
  bool ok = ts >= 0 && PackedAudioToTs(in, ts, c);
  close(in);
  if (ts >= 0 && close(ts) != 0) ok = false;
  if (ok) ok = rename(out, path) == 0;
  if (!ok) {
    unlink(out);
    memcpy(w.continuity, continuity, sizeof continuity);
    w.pmtVersion = pmtVersion;
    w.video = video;
    w.audio = audio;
    c->audioNext = audioNext;
    c->audioTicks = audioTicks;
  }
  return ok;
}
