// The background jobs that fetch chunks: started with their log, known by
// their number while they may need another try or their chunk decrypting,
// and each bound by a deadline.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"
#include "lib/files/files.h"

namespace stream_internal {

namespace {

// A job's whole life: -T30 -t2 bound each wait and the tries, timeout (where
// the shell has it) the whole fetch; the deadline adds a margin for a busy
// box, and holds where nothing else does.
constexpr uint32_t kBackgroundSeconds = 90;
constexpr uint32_t kDeadlineMarginSeconds = 15;
// How long a chunk waits for the rendition's list to name its sound: a live
// sound list lags the picture's by a moment, a step or two at most.
constexpr uint32_t kSoundWaitSeconds = 8;

ChunkJob& Slot(uint32_t n) { return Run.jobs[n % RunJobs]; }

}  // namespace

bool StartJob(uint32_t n, const Chunk& chunk) {
  char command[CommandSize];
  char output[48];
  char log[64];
  snprintf(output, sizeof output, ORVADO_TMP "tmp%u.ts", n);
  snprintf(log, sizeof log, ORVADO_SETTINGS "%u.lok", n);
  WgetFetch fetch = {chunk.url, output, log, kBackgroundSeconds, 30, 2, chunk.rangeStart, chunk.rangeLength, true, n};
  if (!WgetCommand(command, fetch, "URL >> 2").ok) return false;
  ChunkJob& job = Slot(n);
  if (job.n != n) {
    job.n = n;
    job.tries = 0;
    job.listed = true;
    job.chunk = chunk;
    job.withSound = false;
    job.soundPending = false;
  }
  ++job.tries;
  job.deadline = _tick + (kBackgroundSeconds + kDeadlineMarginSeconds) * 100;
  // A shell that cannot be started (no memory for a fork, say) leaves no log
  // ever: the job counts as failed at once, not as one still loading.
  int result = system(command);
  job.startFailed = result != 0;
  if (job.startFailed) Fail(nullptr, "the shell did not start the job for", chunk.url, ExitStatus(result));
  return true;
}

void StartSoundJob(uint32_t n, const Chunk& sound) {
  ChunkJob& job = Slot(n);
  if (job.n != n) return;
  char command[CommandSize];
  char output[48];
  char log[64];
  snprintf(output, sizeof output, ORVADO_TMP "tmp%us.ts", n);
  snprintf(log, sizeof log, ORVADO_SETTINGS "%us.lok", n);
  WgetFetch fetch = {sound.url, output, log, kBackgroundSeconds, 30, 2, sound.rangeStart, sound.rangeLength, true, n};
  if (!WgetCommand(command, fetch, nullptr).ok) return;
  job.withSound = true;
  job.soundPending = false;
  job.sound = sound;
  if (system(command) != 0) Fail(nullptr, "the shell did not start the sound job for", sound.url);
}

void AwaitSound(uint32_t n) {
  ChunkJob& job = Slot(n);
  if (job.n != n || job.withSound) return;
  job.soundPending = true;
  job.soundWait = _tick + kSoundWaitSeconds * 100;
}

uint32_t PendingSound(uint32_t from, uint32_t (&jobs)[RunJobs]) {
  uint32_t count = 0;
  for (const ChunkJob& job : Run.jobs)
    if (job.n != 0 && job.n >= from && job.soundPending) jobs[count++] = job.n;
  return count;
}

const ChunkJob* JobFor(uint32_t n) { return n != 0 && Slot(n).n == n ? &Slot(n) : nullptr; }

bool JobLost(uint32_t n, uint32_t now) {
  ChunkJob* job = n != 0 && Slot(n).n == n ? &Slot(n) : nullptr;
  if (job == nullptr) return false;
  if (job->startFailed) return true;
  if (static_cast<int32_t>(now - job->deadline) < 0) return false;
  // Its wget may still trickle: ended by the pid it left, so that a next try
  // does not share the chunk's file with it.
  char command[160];
  snprintf(command, sizeof command, "kill $(cat " ORVADO_SETTINGS "%u.pid " ORVADO_SETTINGS "%us.pid) 2>/dev/null", n,
           n);
  system(command);
  return true;
}

bool RetryJob(uint32_t n, int32_t status) {
  const ChunkJob* job = JobFor(n);
  if (job == nullptr || !job->listed || job->tries >= ChunkTries) return false;
  if (status != WgetNetworkError && status != WgetServerError && status != TimedOut) return false;
  char command[CommandSize];
  snprintf(command, sizeof command, "rm -f " ORVADO_TMP "tmp%u.ts " ORVADO_SETTINGS "%u.lok " ORVADO_SETTINGS "%u.pid",
           n, n, n);
  system(command);
  char what[64];
  snprintf(what, sizeof what, "chunk %u failed, try %u of %u:", n, job->tries + 1u, static_cast<unsigned>(ChunkTries));
  Fail(nullptr, what, job->chunk.url, status);
  return StartJob(n, job->chunk);
}

void MarkListedJobs(const Playlist& list, bool bySequence, uint32_t from) {
  int64_t last = list.mediaSequence + list.segmentCount - 1;
  for (ChunkJob& job : Run.jobs) {
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
