// A downloaded fMP4 segment made TS in place, with the init segment that its
// #EXT-X-MAP names: fetched once for each URL and kept read in the run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Mp4.h"
#include "app/stream_internal.h"

namespace stream_internal {

namespace {

constexpr uint32_t kInitSeconds = 5;
constexpr uint32_t kMaxInit = 1024 * 1024;  // a moov of many tracks is still far smaller

// Loads the file `path` whole (at most kMaxInit bytes) into a TAP_MemAlloc
// block; null when it cannot be read or is larger.
uint8_t* LoadFile(const char* path, size_t* size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return nullptr;
  off_t length = lseek(fd, 0, SEEK_END);
  uint8_t* data = nullptr;
  if (length > 0 && length <= static_cast<off_t>(kMaxInit) && lseek(fd, 0, SEEK_SET) == 0)
    data = static_cast<uint8_t*>(TAP_MemAlloc(static_cast<uint32_t>(length)));
  size_t got = 0;
  while (data != nullptr && got < static_cast<size_t>(length)) {
    ssize_t n = read(fd, data + got, static_cast<size_t>(length) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (data != nullptr && got != static_cast<size_t>(length)) {
    TAP_MemFree(data);
    data = nullptr;
  }
  *size = got;
  return data;
}

// The init segment of `chunk` read into Run.init, fetched only when it is
// not the one read last. A failure is told.
StepResult UseInit(const Chunk& chunk) {
  if (Run.initMap == chunk.map && Run.initRangeStart == chunk.mapRangeStart &&
      Run.initRangeLength == chunk.mapRangeLength)
    return StepOk();
  Run.initMap = 0;
  const char* url = nullptr;
  for (uint32_t i = 0; i < RunMaps; ++i)
    if (Run.mapId[i] == chunk.map) url = Run.maps[i];
  if (url == nullptr) return Fail("Init error", "the init segment is no longer known of", chunk.url);
  char command[CommandSize];
  WgetFetch fetch = {url,
                     ORVADO_SETTINGS "init.mp4",
                     nullptr,
                     kInitSeconds,
                     kInitSeconds,
                     2,
                     chunk.mapRangeStart,
                     chunk.mapRangeLength,
                     false,
                     0};
  StepResult built = WgetCommand(command, fetch, "Init error");
  if (!built.ok) return built;
  int result = system(command);
  if (result != 0) return Fail("Init error", "the init segment did not come:", url, ExitStatus(result));
  size_t size = 0;
  uint8_t* data = LoadFile(ORVADO_SETTINGS "init.mp4", &size);
  if (data == nullptr) return Fail("Init error", "the init segment cannot be read (or is over 1 MB):", url);
  mp4::InitResult read = mp4::ReadInit(data, size, &Run.init);
  TAP_MemFree(data);
  switch (read) {
    case mp4::INIT_OK: break;
    case mp4::INIT_CANNOT_DECODE:
      return Fail("Cannot decode",
                  "the stream's codecs are none the receiver decodes (H.264; AAC, MPEG audio, AC-3):", url, -1,
                  SHOW_ONCE);
    case mp4::INIT_NO_TRACK: return Fail("Init error", "the init segment has neither picture nor sound:", url);
    case mp4::INIT_DAMAGED: return Fail("Init error", "the init segment is damaged:", url);
  }
  Run.initMap = chunk.map;
  Run.initRangeStart = chunk.mapRangeStart;
  Run.initRangeLength = chunk.mapRangeLength;
  return StepOk();
}

}  // namespace

bool Fmp4ChunkToTs(const char* path, const Chunk& chunk, TsConversion* c, int64_t* fetchedBytes) {
  int64_t ignored = 0;
  int64_t& fetched = fetchedBytes != nullptr ? *fetchedBytes : ignored;
  fetched = -1;
  int in = open(path, O_RDONLY);
  if (in < 0) return Fail(nullptr, "cannot open", path).ok;
  fetched = lseek(in, 0, SEEK_END);
  char ts[StreamUrlSize + 8];
  int out = -1;
  if (fetched < 0 || !UseInit(chunk).ok || snprintf(ts, sizeof ts, "%s.tsw", path) >= static_cast<int>(sizeof ts) ||
      (out = open(ts, O_WRONLY | O_CREAT | O_TRUNC, 0644)) < 0) {
    close(in);
    return false;
  }
  // A chunk that fails leaves nothing in Stream.ts: the writer's counters
  // and tracks must not move past it.
  TsWriter& w = c->ts;
  uint8_t continuity[sizeof w.continuity];
  memcpy(continuity, w.continuity, sizeof continuity);
  const uint8_t pmtVersion = w.pmtVersion;
  const TsCodec video = w.video, audio = w.audio;
  mp4::ConvertResult result = mp4::Fmp4ToTs(in, Run.init, &w, out);
  close(in);
  bool closed = close(out) == 0;
  if (result == mp4::CONVERT_OK && closed && rename(ts, path) == 0) return true;
  unlink(ts);
  memcpy(w.continuity, continuity, sizeof continuity);
  w.pmtVersion = pmtVersion;
  w.video = video;
  w.audio = audio;
  switch (result) {
    case mp4::CONVERT_TOO_LARGE: return Fail(nullptr, "an fMP4 fragment or sample past the bounds:", path).ok;
    case mp4::CONVERT_NO_MEMORY: return Fail(nullptr, "no memory to convert", path).ok;
    case mp4::CONVERT_DAMAGED: return Fail(nullptr, "a damaged fMP4 segment:", path).ok;
    case mp4::CONVERT_OK:
    case mp4::CONVERT_WRITE_FAILED: break;
  }
  return Fail(nullptr, "cannot write the TS of", path).ok;
}

}  // namespace stream_internal
