// A media segment of fragmented MP4 rewritten as TS. The segment is read from
// its file box by box: each moof is held whole (it is small: the sample
// table of one fragment), and its samples are then read one at a time from
// where the table puts them, so a segment of many megabytes needs little
// memory.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "app/Mp4.h"
#include "platform/tap.h"

namespace mp4 {

namespace {

constexpr uint32_t kMaxSamples = 1u << 17;  // samples of one fragment, all tracks

// tfhd and trun flags.
constexpr uint32_t kBaseOffset = 0x01, kDescription = 0x02, kDuration = 0x08, kSize = 0x10, kFlags = 0x20,
                   kBaseIsMoof = 0x20000;
constexpr uint32_t kDataOffset = 0x01, kFirstFlags = 0x04, kSampleDuration = 0x100, kSampleSize = 0x200,
                   kSampleFlags = 0x400, kSampleOffset = 0x800;
constexpr uint32_t kNonSync = 0x10000;  // sample_is_non_sync_sample

// Where one track's samples of a fragment stand: its traf, the trun being
// read and the next sample.
struct Cursor {
  const Track* track;
  const uint8_t* traf;
  size_t trafSize;
  size_t trafAt;                   // the next box of the traf after the current trun
  uint64_t base;                   // file offset that trun data offsets count from
  uint32_t duration, size, flags;  // the fragment's defaults (tfhd, else trex)
  // The current trun.
  const uint8_t* entry;
  uint32_t left;  // its samples still to come
  uint32_t trunFlags;
  uint32_t firstFlags;
  bool first;
  bool signedOffsets;  // version 1: composition offsets may be negative
  uint64_t dataAt;     // file offset of the next sample
  uint64_t time;       // its decode time, in the track's timescale
};

// One sample, as the cursor gives it.
struct Sample {
  uint32_t size;
  uint32_t duration;
  bool key;
  int64_t offset;  // composition offset
};

size_t EntrySize(uint32_t flags) {
  size_t n = 0;
  static constexpr uint32_t kBits[] = {kSampleDuration, kSampleSize, kSampleFlags, kSampleOffset};
  for (uint32_t bit : kBits)
    if (flags & bit) n += 4;
  return n;
}

// Moves the cursor to the traf's next trun; false when there is none, or
// it does not fit.
bool NextTrun(Cursor* c, bool* damaged) {
  Box box;
  while (NextBox(c->traf, c->trafSize, &c->trafAt, &box)) {
    if (box.type != FourCc("trun")) continue;
    if (box.size < 8) break;
    uint32_t flags = Be32(box.body) & 0xFFFFFF;
    uint32_t count = Be32(box.body + 4);
    size_t at = 8;
    if (flags & kDataOffset) {
      if (box.size < at + 4) break;
      c->dataAt = c->base + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Be32(box.body + at))));
      at += 4;
    }
    c->first = (flags & kFirstFlags) != 0;
    if (c->first) {
      if (box.size < at + 4) break;
      c->firstFlags = Be32(box.body + at);
      at += 4;
    }
    size_t entry = EntrySize(flags);
    if (count > kMaxSamples || (box.size - at) < entry * count) break;
    c->trunFlags = flags;
    c->signedOffsets = box.body[0] >= 1;
    c->entry = box.body + at;
    c->left = count;
    if (count > 0) return true;
  }
  if (c->trafAt < c->trafSize) *damaged = true;
  c->left = 0;
  return false;
}

// The cursor's next sample, moving it on; false when the traf has none left.
bool Take(Cursor* c, Sample* s, bool* damaged) {
  if (c->left == 0 && !NextTrun(c, damaged)) return false;
  const uint8_t* p = c->entry;
  uint32_t f = c->trunFlags;
  s->duration = c->duration;
  s->size = c->size;
  uint32_t flags = c->first ? c->firstFlags : c->flags;
  s->offset = 0;
  if (f & kSampleDuration) s->duration = Be32(p), p += 4;
  if (f & kSampleSize) s->size = Be32(p), p += 4;
  if (f & kSampleFlags) {
    uint32_t own = Be32(p);
    p += 4;
    if (!c->first) flags = own;
  }
  if (f & kSampleOffset) {
    uint32_t o = Be32(p);
    p += 4;
    s->offset = c->signedOffsets ? static_cast<int64_t>(static_cast<int32_t>(o)) : static_cast<int64_t>(o);
  }
  s->key = (flags & kNonSync) == 0;
  c->first = false;
  c->entry = p;
  --c->left;
  return true;
}

// The end of a traf's sample data: where the next traf's data begins when it
// names no base of its own.
uint64_t DataEnd(Cursor c) {
  bool damaged = false;
  Sample s;
  uint64_t end = c.dataAt;
  for (uint32_t n = 0; n < kMaxSamples && Take(&c, &s, &damaged); ++n) {
    c.dataAt += s.size;
    end = c.dataAt;
  }
  return end;
}

// Reads `size` bytes at file offset `at` whole.
bool ReadAt(int fd, uint64_t at, uint8_t* into, size_t size) {
  if (at > 0x7FFFFFFF || lseek(fd, static_cast<off_t>(at), SEEK_SET) != static_cast<off_t>(at)) return false;
  while (size > 0) {
    ssize_t n = read(fd, into, size);
    if (n <= 0) return false;
    into += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A heap block that grows as samples need, within MaxSample-sized bounds.
struct Block {
  uint8_t* p;
  size_t size;
  bool fit(size_t want) {
    if (want <= size) return true;
    if (p != nullptr) TAP_MemFree(p);
    size = want < 64 * 1024 ? 64 * 1024 : want + want / 4;
    p = static_cast<uint8_t*>(TAP_MemAlloc(static_cast<uint32_t>(size)));
    if (p == nullptr) size = 0;
    return p != nullptr;
  }
  void drop() {
    if (p != nullptr) TAP_MemFree(p);
    p = nullptr;
    size = 0;
  }
};

struct Conversion {
  const Init* init;
  TsWriter* w;
  int in;
  Block sample, out;
  uint64_t next[InitTracks];  // each track's decode time after the last fragment
};

// One sample of cursor `c` written as a PES packet.
ConvertResult WriteSample(Conversion* k, Cursor* c, const Sample& s) {
  const Track& t = *c->track;
  if (s.size == 0) return CONVERT_OK;  // nothing to show or sound
  if (s.size > MaxSample) return CONVERT_TOO_LARGE;
  if (!k->sample.fit(s.size)) return CONVERT_NO_MEMORY;
  if (!ReadAt(k->in, c->dataAt, k->sample.p, s.size)) return CONVERT_DAMAGED;
  int64_t dts = To90k(c->time, t.timescale);
  int64_t pts = s.offset >= 0 ? To90k(c->time + static_cast<uint64_t>(s.offset), t.timescale)
                              : dts - To90k(static_cast<uint64_t>(-s.offset), t.timescale);
  dts += TimeLead - t.shift;
  pts += TimeLead - t.shift;
  const uint8_t* data = k->sample.p;
  size_t size = s.size;
  bool key = true;
  if (t.kind == TRACK_H264) {
    size_t room = AnnexBRoom(t, size);
    if (!k->out.fit(room)) return CONVERT_NO_MEMORY;
    bool idr = false;
    size = AvcToAnnexB(t, data, size, s.key, k->out.p, k->out.size, &idr);
    if (size == 0) return CONVERT_DAMAGED;
    data = k->out.p;
    key = s.key || idr;
  } else if (t.kind == TRACK_AAC) {
    if (!k->out.fit(size + 7)) return CONVERT_NO_MEMORY;
    if (!AdtsHeader(t, size, k->out.p)) return CONVERT_DAMAGED;
    memcpy(k->out.p + 7, data, size);
    data = k->out.p;
    size += 7;
  }
  if (size == 0) return CONVERT_OK;
  if (!TsWriteFrame(k->w, t.kind == TRACK_H264, pts, dts, key, data, size)) return CONVERT_WRITE_FAILED;
  return CONVERT_OK;
}

// One moof (`size` bytes at `moof`, found at file offset `at`): its tracks'
// samples in decode-time order.
ConvertResult Fragment(Conversion* k, const uint8_t* moof, size_t size, uint64_t at) {
  Cursor cursor[InitTracks];
  uint32_t count = 0;
  uint64_t nextBase = at;  // where a traf without a base of its own begins
  size_t m = 0;
  Box traf;
  bool damaged = false;
  while (NextBox(moof, size, &m, &traf)) {
    if (traf.type != FourCc("traf")) continue;
    Box tfhd, tfdt;
    if (!FindBox(traf.body, traf.size, FourCc("tfhd"), &tfhd) || tfhd.size < 8) return CONVERT_DAMAGED;
    uint32_t flags = Be32(tfhd.body) & 0xFFFFFF;
    const Track* track = TrackById(*k->init, Be32(tfhd.body + 4));
    Cursor c;
    memset(&c, 0, sizeof c);
    size_t f = 8;
    c.base = (flags & kBaseIsMoof) ? at : nextBase;
    if (flags & kBaseOffset) {
      if (tfhd.size < f + 8) return CONVERT_DAMAGED;
      c.base = Be64(tfhd.body + f);
      f += 8;
    }
    if (flags & kDescription) f += 4;
    const Track dflt = {};
    const Track& t = track != nullptr ? *track : dflt;
    c.duration = t.defaultDuration;
    c.size = t.defaultSize;
    c.flags = t.defaultFlags;
    static constexpr uint32_t kDefaults[] = {kDuration, kSize, kFlags};
    for (uint32_t bit : kDefaults) {
      if (!(flags & bit)) continue;
      if (tfhd.size < f + 4) return CONVERT_DAMAGED;
      uint32_t v = Be32(tfhd.body + f);
      f += 4;
      if (bit == kDuration) c.duration = v;
      if (bit == kSize) c.size = v;
      if (bit == kFlags) c.flags = v;
    }
    c.traf = traf.body;
    c.trafSize = traf.size;
    c.dataAt = c.base;
    nextBase = DataEnd(c);
    if (track == nullptr || count == InitTracks) continue;
    c.track = track;
    uint32_t slot = static_cast<uint32_t>(track - k->init->track);
    c.time = k->next[slot];
    if (FindBox(traf.body, traf.size, FourCc("tfdt"), &tfdt)) {
      if (tfdt.size < 8 || (tfdt.body[0] == 1 && tfdt.size < 12)) return CONVERT_DAMAGED;
      c.time = tfdt.body[0] == 1 ? Be64(tfdt.body + 4) : Be32(tfdt.body + 4);
    }
    cursor[count++] = c;
  }
  Sample pending[InitTracks];
  bool have[InitTracks];
  for (uint32_t i = 0; i < count; ++i) have[i] = Take(&cursor[i], &pending[i], &damaged);
  for (uint32_t n = 0; n < kMaxSamples; ++n) {
    // The track whose next sample is decoded first.
    int best = -1;
    int64_t bestDts = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (!have[i]) continue;
      int64_t dts = To90k(cursor[i].time, cursor[i].track->timescale) - cursor[i].track->shift;
      if (best < 0 || dts < bestDts) best = static_cast<int>(i), bestDts = dts;
    }
    if (best < 0) break;
    Cursor* c = &cursor[best];
    ConvertResult r = WriteSample(k, c, pending[best]);
    if (r != CONVERT_OK) return r;
    c->dataAt += pending[best].size;
    c->time += pending[best].duration;
    k->next[c->track - k->init->track] = c->time;
    have[best] = Take(c, &pending[best], &damaged);
  }
  return damaged ? CONVERT_DAMAGED : CONVERT_OK;
}

}  // namespace

ConvertResult Fmp4ToTs(int in, const Init& init, TsWriter* w, int out) {
  TsCodec video = TS_NONE, audio = TS_NONE;
  for (uint32_t i = 0; i < init.trackCount && i < InitTracks; ++i) {
    switch (init.track[i].kind) {
      case TRACK_H264: video = TS_H264; break;
      case TRACK_AAC: audio = TS_AAC; break;
      case TRACK_MPEG_AUDIO: audio = TS_MPEG_AUDIO; break;
      case TRACK_AC3: audio = TS_AC3; break;
      case TRACK_NONE: break;
    }
  }
  if (!TsOpenSegment(w, out, video, audio)) return CONVERT_DAMAGED;
  off_t end = lseek(in, 0, SEEK_END);
  if (end < 0) return CONVERT_DAMAGED;
  Conversion k = {&init, w, in, {nullptr, 0}, {nullptr, 0}, {0, 0}};
  ConvertResult result = CONVERT_OK;
  bool fragments = false;
  uint64_t at = 0;
  uint64_t fileEnd = static_cast<uint64_t>(end);
  while (result == CONVERT_OK && fileEnd - at >= 8) {
    uint8_t head[16];
    if (!ReadAt(in, at, head, 8)) {
      result = CONVERT_DAMAGED;
      break;
    }
    uint64_t length = Be32(head);
    uint64_t header = 8;
    if (length == 1) {
      if (fileEnd - at < 16 || !ReadAt(in, at + 8, head + 8, 8)) {
        result = CONVERT_DAMAGED;
        break;
      }
      length = Be64(head + 8);
      header = 16;
    } else if (length == 0) {
      length = fileEnd - at;
    }
    if (length < header || length > fileEnd - at) {
      result = CONVERT_DAMAGED;
      break;
    }
    if (Be32(head + 4) == FourCc("moof")) {
      fragments = true;
      uint64_t body = length - header;
      if (body > MaxMoof) {
        result = CONVERT_TOO_LARGE;
        break;
      }
      uint8_t* moof = static_cast<uint8_t*>(TAP_MemAlloc(static_cast<uint32_t>(body) + 1));
      if (moof == nullptr) {
        result = CONVERT_NO_MEMORY;
        break;
      }
      result = ReadAt(in, at + header, moof, static_cast<size_t>(body))
                   ? Fragment(&k, moof, static_cast<size_t>(body), at)
                   : CONVERT_DAMAGED;
      TAP_MemFree(moof);
    }
    at += length;
  }
  k.sample.drop();
  k.out.drop();
  if (!TsCloseSegment(w) && result == CONVERT_OK) result = CONVERT_WRITE_FAILED;
  if (result == CONVERT_OK && !fragments) result = CONVERT_DAMAGED;
  return result;
}

}  // namespace mp4
