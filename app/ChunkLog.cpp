// How a background download ended, from its log. The job's shell appends
// wget's exit status as the log's last line once wget has ended, so words met
// on the way (a retried "Connection closed", a "100%" before the file is
// closed) no longer decide.
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

ChunkLogState JudgeChunkLog(const char* log, int32_t* status) {
  if (status != nullptr) *status = -1;
  if (log == nullptr) return CHUNK_LOADING;
  size_t end = strlen(log);
  while (end > 0 && log[end - 1] == '\n') --end;
  size_t start = end;
  while (start > 0 && log[start - 1] != '\n') --start;
  const char* line = log + start;
  size_t length = end - start;
  size_t prefix = strlen(ChunkExitMarker);
  if (length <= prefix || length > prefix + 3 || memcmp(line, ChunkExitMarker, prefix) != 0) return CHUNK_LOADING;
  int32_t value = 0;
  for (size_t i = prefix; i < length; ++i) {
    if (line[i] < '0' || line[i] > '9') return CHUNK_LOADING;
    value = value * 10 + (line[i] - '0');
  }
  if (status != nullptr) *status = value;
  return value == 0 ? CHUNK_COMPLETE : CHUNK_FAILED;
}

}  // namespace stream_internal
