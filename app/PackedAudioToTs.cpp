// Packed audio into transport stream: the chunk is read in one fixed buffer,
// cut into frames at their headers, and runs of frames go out as PES packets
// with times counted from the chunk's ID3 timestamp.
#include <unistd.h>

#include <cstring>

#include "app/ChunkToTs.h"
#include "platform/tap.h"

namespace {

constexpr size_t kInput = 64 * 1024;    // large beside kWant, so that little is moved to its front
constexpr size_t kLargestFrame = 8192;  // ADTS's 13-bit length; the other forms stay below
constexpr size_t kGroupBytes = 12 * 1024;
constexpr uint32_t kGroupTicks = 8100;  // 90 ms: a clock reference rides on each group
constexpr int64_t kFirstTime = 126000;  // 1.4 s, where a stream without timestamps begins
constexpr size_t kWant = kGroupBytes + kLargestFrame + 16;
static_assert(kWant <= kInput, "a group, its last frame and the next header fit the buffer");

struct Reader {
  uint8_t* input;  // kInput bytes from TAP_MemAlloc: the TAP's static data is kept for what lasts
  int fd;
  size_t held;  // bytes in input
  size_t at;    // the next byte not yet used
  bool end;     // the file has no more beyond `held`
  bool failed;  // a read failed
};

// At least `want` bytes from r->at on (fewer only at the file's end); the
// count held.
size_t Ahead(Reader* r, size_t want) {
  if (r->held - r->at >= want || r->end) return r->held - r->at;
  memmove(r->input, r->input + r->at, r->held - r->at);
  r->held -= r->at;
  r->at = 0;
  while (!r->end && r->held < kInput) {
    ssize_t n = read(r->fd, r->input + r->held, kInput - r->held);
    if (n <= 0) {
      r->failed = n < 0;
      r->end = true;
    } else {
      r->held += static_cast<size_t>(n);
    }
  }
  return r->held;
}

void Skip(Reader* r, size_t bytes) {
  while (bytes > 0) {
    size_t here = r->held - r->at;
    size_t take = bytes < here ? bytes : here;
    r->at += take;
    bytes -= take;
    if (bytes > 0 && Ahead(r, 1) == 0) return;
  }
}

// True when `p` (`avail` bytes, all there are when `end`) holds a whole frame
// of `codec` (TS_NONE: any). Where the frame does not follow on from one
// taken (`synced` false), something sensible must follow it too: another
// frame of the same codec, an ID3 tag, or the end of the chunk. That keeps a
// stray sync word in damaged data from being taken.
bool Confirmed(const uint8_t* p, size_t avail, bool end, bool synced, TsCodec codec, AudioFrame* f) {
  if (!AudioFrameAt(p, avail, f) || (codec != TS_NONE && f->codec != codec) || f->length > avail || f->rate == 0)
    return false;
  if (synced) return true;
  size_t rest = avail - f->length;
  const uint8_t* next = p + f->length;
  AudioFrame following;
  if (rest >= 3 && memcmp(next, "ID3", 3) == 0) return true;
  if (AudioFrameAt(next, rest, &following)) return following.codec == f->codec;
  return end && rest < 7;
}

}  // namespace

bool PackedAudioToTs(int in, int out, TsConversion* c) {
  Reader r = {static_cast<uint8_t*>(TAP_MemAlloc(kInput)), in, 0, 0, false, false};
  if (r.input == nullptr) return false;
  TsCodec codec = TS_NONE;
  int64_t stamp = -1;
  int64_t base = 0;
  int64_t elapsed = 0;    // 90 kHz ticks of the frames written
  uint32_t fraction = 0;  // and the remainder, over `rate`
  uint32_t rate = 1;      // of the frames before: a change drops the remainder
  bool synced = false;    // r.at is where the last frame taken ended
  bool ok = true;
  while (ok) {
    size_t avail = Ahead(&r, kWant);
    if (avail == 0) break;
    const uint8_t* p = r.input + r.at;
    if (avail >= 3 && memcmp(p, "ID3", 3) == 0) {
      // Only a tag before the first frame tells the chunk's time.
      int64_t later = -1;
      uint32_t tag = Id3TagLength(p, avail, codec == TS_NONE ? &stamp : &later);
      if (tag > 0) {
        Skip(&r, tag);
        synced = false;
        continue;
      }
    }
    AudioFrame f;
    if (!Confirmed(p, avail, r.end, synced, codec, &f)) {
      ++r.at;  // damaged or foreign bytes: look for the next frame
      synced = false;
      continue;
    }
    if (codec == TS_NONE) {
      codec = f.codec;
      base = stamp >= 0 ? stamp : c->audioNext >= 0 ? c->audioNext : kFirstTime;
      if (!TsOpenSegment(&c->ts, out, TS_NONE, codec)) {
        ok = false;
        break;
      }
    }
    // A run of whole frames, held together in the buffer.
    size_t bytes = 0;
    int64_t start = elapsed;
    do {
      if (f.rate != rate) {
        rate = f.rate;
        fraction = 0;
      }
      fraction += f.samples * 90000u;
      elapsed += fraction / rate;
      fraction %= rate;
      bytes += f.length;
    } while (bytes < avail && elapsed - start < kGroupTicks &&
             Confirmed(p + bytes, avail - bytes, r.end, true, codec, &f) && bytes + f.length <= kGroupBytes &&
             elapsed - start + f.samples * 90000 / f.rate <= kGroupTicks);
    ok = TsWriteFrame(&c->ts, false, base + start, -1, false, p, bytes);
    r.at += bytes;
    synced = true;
  }
  TAP_MemFree(r.input);
  if (codec == TS_NONE) return false;
  ok = TsCloseSegment(&c->ts) && ok && !r.failed;
  c->audioNext = base + elapsed;
  c->audioTicks += elapsed;
  return ok;
}
