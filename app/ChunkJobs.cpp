// The background jobs that fetch chunks: started with their log, known by
// their number while they may need another try or their chunk decrypting.
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

namespace {

// A background job's whole life: -T30 -t2 bound each wait and the tries, but
// not a server that trickles, and every later chunk waits behind this one.
constexpr uint32_t kBackgroundSeconds = 90;
constexpr uint32_t kJobs = 16;
ChunkJob jobs[kJobs];

}  // namespace

const char* RangeOption(int64_t start, int64_t length) {
  // wget gives up on a 206 answer to a Range header of the user's own; with
  // --start-pos it expects one, and the header (which replaces wget's own)
  // sets the end.
  static char option[96];
  option[0] = '\0';
  if (start >= 0 && length > 0)
    TAP_SPrint(option, " --start-pos=%lld --header 'Range: bytes=%lld-%lld'", static_cast<long long>(start),
               static_cast<long long>(start), static_cast<long long>(start + length - 1));
  return option;
}

bool StartJob(uint32_t n, const Chunk& chunk) {
  char command[CommandSize];
  if (!FormatCommand(command, "URL >> 2", chunk.url,
                     "(%swget -T30 -t2%s -O /mnt/hd/MediaFiles/tmp/tmp%u.ts '%s'; echo \"%s$?\" >&2) "
                     "2>/mnt/hd/ProgramFiles/Settings/orvado/%u.lok &",
                     TimeLimit(kBackgroundSeconds), RangeOption(chunk.rangeStart, chunk.rangeLength), n, chunk.url,
                     ChunkExitMarker, n)
           .ok)
    return false;
  system(command);
  ChunkJob& job = jobs[n % kJobs];
  if (job.n != n) {
    job.n = n;
    job.tries = 0;
    job.listed = true;
    job.chunk = chunk;
  }
  ++job.tries;
  return true;
}

const ChunkJob* JobFor(uint32_t n) { return n != 0 && jobs[n % kJobs].n == n ? &jobs[n % kJobs] : nullptr; }

void ResetJobs(void) { memset(jobs, 0, sizeof jobs); }

bool RetryJob(uint32_t n, int32_t status) {
  const ChunkJob* job = JobFor(n);
  if (job == nullptr || !job->listed || job->tries >= ChunkTries) return false;
  if (status != WgetNetworkError && status != WgetServerError && status != TimedOut) return false;
  char command[CommandSize];
  TAP_SPrint(command, "rm -f /mnt/hd/MediaFiles/tmp/tmp%u.ts /mnt/hd/ProgramFiles/Settings/orvado/%u.lok", n, n);
  system(command);
  char what[64];
  TAP_SPrint(what, "chunk %u failed, try %u of %u:", n, job->tries + 1u, static_cast<unsigned>(ChunkTries));
  Fail(nullptr, what, job->chunk.url, status);
  return StartJob(n, job->chunk);
}

void MarkListedJobs(const Playlist& list, bool bySequence, uint32_t from) {
  int64_t last = list.mediaSequence + list.segmentCount - 1;
  for (ChunkJob& job : jobs) {
    if (job.n == 0 || job.n < from) continue;
    job.listed = false;
    if (bySequence) {
      job.listed = job.chunk.sequence >= list.mediaSequence && job.chunk.sequence <= last;
    } else {
      for (uint32_t i = 0; i < list.windowCount && !job.listed; ++i)
        job.listed = list.window[i].lineHash == job.chunk.lineHash;
    }
  }
}

}  // namespace stream_internal
