// The picture of one transport stream and the sound of another as one
// program, packet by packet: the receiver's player reads one TS, and a
// rendition's sound comes in segments of its own. Packets are copied, not
// unpacked, so the work is a few reads and writes per segment.
#include <unistd.h>

#include <cstring>

#include "app/ChunkToTs.h"
#include "app/orvado.h"

namespace {

constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x0100;
constexpr uint16_t kAudioPid = 0x0101;
constexpr uint32_t kPackets = 32;       // packets of each buffer
constexpr uint32_t kScanPackets = 512;  // where a stream's map must have come
constexpr int64_t kClockMask = (int64_t{1} << 33) - 1;

enum Counter { CC_PAT, CC_PMT, CC_VIDEO, CC_AUDIO };

struct Reader {
  int fd;
  uint32_t have, at;  // bytes in buf, and the next packet's offset
  bool failed;
  uint8_t buf[kPackets * TsPacketSize];
};

struct Work {
  Reader video, sound;
  int out;
  uint32_t used;
  bool failed;
  uint8_t buf[kPackets * TsPacketSize];
};

// The next whole packet, or null at the end (or at bytes out of step).
const uint8_t* Peek(Reader& r) {
  if (r.fd < 0 || r.failed) return nullptr;
  if (r.at + TsPacketSize > r.have) {
    uint32_t left = r.have - r.at;
    memmove(r.buf, r.buf + r.at, left);
    r.have = left;
    r.at = 0;
    while (r.have < sizeof r.buf) {
      ssize_t n = read(r.fd, r.buf + r.have, sizeof r.buf - r.have);
      if (n < 0) r.failed = true;
      if (n <= 0) break;
      r.have += static_cast<uint32_t>(n);
    }
    if (r.have < TsPacketSize) return nullptr;
  }
  if (r.buf[r.at] == 0x47) return r.buf + r.at;
  r.failed = true;  // out of step: not transport stream from here on
  return nullptr;
}

void Skip(Reader& r) { r.at += TsPacketSize; }

uint16_t Pid(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }
bool Starts(const uint8_t* p) { return (p[1] & 0x40) != 0; }

// Offset of the packet's payload; 0 when it has none.
uint32_t PayloadAt(const uint8_t* p) {
  uint32_t control = (p[3] >> 4) & 3;
  if ((control & 1) == 0) return 0;
  uint32_t at = (control & 2) != 0 ? 5u + p[4] : 4u;
  return at < TsPacketSize ? at : 0;
}

// The section that opens in the packet's payload: its start and the bytes
// it has in this packet (ending before its CRC); null when there is none.
const uint8_t* Section(const uint8_t* p, uint8_t tableId, uint32_t* size) {
  uint32_t at = PayloadAt(p);
  if (at == 0 || !Starts(p)) return nullptr;
  at += 1u + p[at];
  if (at + 3 > TsPacketSize || p[at] != tableId) return nullptr;
  uint32_t length = ((p[at + 1] & 0x0F) << 8) | p[at + 2];
  if (length < 9 || at + 3 + length > TsPacketSize) return nullptr;  // one packet holds the maps we read
  *size = 3 + length - 4;
  return p + at;
}

bool IsVideo(uint8_t type) { return type == 0x01 || type == 0x02 || type == TS_H264; }
bool IsAudio(uint8_t type) {
  return type == TS_MPEG_AUDIO || type == TS_MPEG2_AUDIO || type == TS_AAC || type == TS_AC3;
}

// The first program's first picture (`wantVideo`) or sound track near the
// stream's start: its PID and stream type. The reader is left at the start.
bool FindTrack(Reader& r, bool wantVideo, uint16_t* pid, TsCodec* codec) {
  int32_t pmt = -1;
  for (uint32_t i = 0; i < kScanPackets; ++i) {
    const uint8_t* p = Peek(r);
    if (p == nullptr) break;
    uint32_t size = 0;
    const uint8_t* s = Pid(p) == kPatPid ? Section(p, 0x00, &size) : nullptr;
    for (uint32_t at = 8; s != nullptr && pmt < 0 && at + 4 <= size; at += 4)
      if (((s[at] << 8) | s[at + 1]) != 0) pmt = ((s[at + 2] & 0x1F) << 8) | s[at + 3];
    s = pmt >= 0 && Pid(p) == pmt ? Section(p, 0x02, &size) : nullptr;
    if (s != nullptr && size >= 12) {
      uint32_t at = 12 + (((s[10] & 0x0F) << 8) | s[11]);
      for (; at + 5 <= size; at += 5 + (((s[at + 3] & 0x0F) << 8) | s[at + 4])) {
        if (wantVideo ? !IsVideo(s[at]) : !IsAudio(s[at])) continue;
        *pid = static_cast<uint16_t>(((s[at + 1] & 0x1F) << 8) | s[at + 2]);
        *codec = static_cast<TsCodec>(s[at]);
        break;
      }
      if (lseek(r.fd, 0, SEEK_SET) != 0) return false;
      r.have = r.at = 0;
      return *codec != TS_NONE;
    }
    Skip(r);
  }
  if (lseek(r.fd, 0, SEEK_SET) == 0) r.have = r.at = 0;
  return false;
}

// The decoding time (else the presentation time) of the PES packet that opens
// in `p`; -1 when it has none.
int64_t PesTime(const uint8_t* p) {
  uint32_t at = PayloadAt(p);
  if (at == 0 || !Starts(p) || at + 19 > TsPacketSize) return -1;
  const uint8_t* h = p + at;
  if (h[0] != 0 || h[1] != 0 || h[2] != 1) return -1;
  uint32_t flags = h[7] >> 6;
  if (flags < 2) return -1;
  const uint8_t* t = h + (flags == 3 ? 14 : 9);
  return (static_cast<int64_t>(t[0] & 0x0E) << 29) | (static_cast<int64_t>(t[1]) << 22) |
         (static_cast<int64_t>(t[2] & 0xFE) << 14) | (static_cast<int64_t>(t[3]) << 7) | (t[4] >> 1);
}

// True when 90 kHz time `a` is later than `b`, across the 33-bit wrap.
bool Later(int64_t a, int64_t b) {
  int64_t d = (a - b) & kClockMask;
  return d != 0 && d < (int64_t{1} << 32);
}

uint8_t* Out(Work& w) {
  if (w.used == sizeof w.buf) {
    const uint8_t* from = w.buf;
    while (w.used > 0 && !w.failed) {
      ssize_t n = write(w.out, from, w.used);
      if (n <= 0) w.failed = true;
      if (n <= 0) break;
      from += n;
      w.used -= static_cast<uint32_t>(n);
    }
    w.used = 0;
  }
  uint8_t* p = w.buf + w.used;
  w.used += TsPacketSize;
  return p;
}

void PutSection(Work& w, TsMerge* m, uint16_t pid, Counter counter, const uint8_t* section, uint32_t size) {
  uint8_t* p = Out(w);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(0x40 | (pid >> 8));
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  p[3] = static_cast<uint8_t>(0x10 | m->continuity[counter]);
  m->continuity[counter] = static_cast<uint8_t>((m->continuity[counter] + 1) & 0x0F);
  TsSectionPayload(p, section, size);
}

void PutTables(Work& w, TsMerge* m) {
  const uint8_t pat[] = {
      0x00,          0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(0xE0 | (kPmtPid >> 8)),
      kPmtPid & 0xFF};
  PutSection(w, m, kPatPid, CC_PAT, pat, sizeof pat);
  uint8_t pmt[22];
  uint32_t n = 12;
  pmt[0] = 0x02;
  pmt[3] = 0x00;
  pmt[4] = 0x01;
  pmt[5] = static_cast<uint8_t>(0xC1 | (m->pmtVersion << 1));
  pmt[6] = 0x00;
  pmt[7] = 0x00;
  pmt[8] = static_cast<uint8_t>(0xE0 | (kVideoPid >> 8));
  pmt[9] = kVideoPid & 0xFF;
  pmt[10] = 0xF0;
  pmt[11] = 0x00;
  const TsCodec tracks[2] = {m->video, m->audio};
  const uint16_t pids[2] = {kVideoPid, kAudioPid};
  for (uint32_t i = 0; i < 2; ++i) {
    if (tracks[i] == TS_NONE) continue;
    pmt[n++] = tracks[i];
    pmt[n++] = static_cast<uint8_t>(0xE0 | (pids[i] >> 8));
    pmt[n++] = static_cast<uint8_t>(pids[i] & 0xFF);
    pmt[n++] = 0xF0;
    pmt[n++] = 0x00;
  }
  uint32_t length = n - 3 + 4;
  pmt[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
  pmt[2] = static_cast<uint8_t>(length & 0xFF);
  PutSection(w, m, kPmtPid, CC_PMT, pmt, n);
}

// Copies packet `p` under `pid` with the merge's own counter. A sound
// packet's clock reference is turned into stuffing: the picture's is the
// program's clock.
void PutPacket(Work& w, TsMerge* m, const uint8_t* p, uint16_t pid, Counter counter) {
  uint8_t* q = Out(w);
  memcpy(q, p, TsPacketSize);
  q[1] = static_cast<uint8_t>((p[1] & 0xE0) | (pid >> 8));
  q[2] = static_cast<uint8_t>(pid & 0xFF);
  uint8_t& cc = m->continuity[counter];
  if ((p[3] & 0x10) != 0) {
    q[3] = static_cast<uint8_t>((p[3] & 0xF0) | cc);
    cc = static_cast<uint8_t>((cc + 1) & 0x0F);
  } else {
    q[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((cc + 15) & 0x0F));  // no payload: the counter stays
  }
  uint32_t afLength = (q[3] & 0x20) != 0 ? q[4] : 0;
  if (counter == CC_AUDIO && afLength >= 7 && (q[5] & 0x10) != 0) {
    q[5] = static_cast<uint8_t>(q[5] & ~0x10);
    memmove(q + 6, q + 12, afLength - 7);
    memset(q + 5 + afLength - 6, 0xFF, 6);
  }
}

// Puts the sound's packets up to the first PES packet that starts later than
// `limit` (-1: all of them).
void PutSoundUntil(Work& w, TsMerge* m, uint16_t pid, int64_t limit) {
  for (const uint8_t* p = Peek(w.sound); p != nullptr; p = Peek(w.sound)) {
    if (Pid(p) == pid) {
      int64_t t = Starts(p) ? PesTime(p) : -1;
      if (limit >= 0 && t >= 0 && Later(t, limit)) return;
      PutPacket(w, m, p, kAudioPid, CC_AUDIO);
    }
    Skip(w.sound);
  }
}

}  // namespace

void TsMergeReset(TsMerge* m) { memset(m, 0, sizeof *m); }

bool MergeSoundTs(int video, int sound, int out, TsMerge* m) {
  Work* w = static_cast<Work*>(TAP_MemAlloc(sizeof(Work)));
  if (w == nullptr) return false;
  w->video.fd = video;
  w->video.have = w->video.at = 0;
  w->video.failed = false;
  w->sound.fd = sound;
  w->sound.have = w->sound.at = 0;
  w->sound.failed = false;
  w->out = out;
  w->used = 0;
  w->failed = false;
  uint16_t videoPid = 0, audioPid = 0;
  TsCodec videoCodec = TS_NONE, audioCodec = TS_NONE;
  bool ok = FindTrack(w->video, true, &videoPid, &videoCodec);
  if (ok && (sound < 0 || !FindTrack(w->sound, false, &audioPid, &audioCodec))) w->sound.fd = -1;
  if (ok) {
    // A segment without its sound keeps the map of those with it, so the
    // player does not see the sound come and go.
    if (audioCodec == TS_NONE) audioCodec = m->audio;
    if (videoCodec != m->video || audioCodec != m->audio) {
      if (m->video != TS_NONE) m->pmtVersion = static_cast<uint8_t>((m->pmtVersion + 1) & 0x1F);
      m->video = videoCodec;
      m->audio = audioCodec;
    }
    // Sound from before the picture's first PES packet has nothing to be
    // shown with: it goes out with that packet.
    bool tables = false;
    for (const uint8_t* p = Peek(w->video); p != nullptr; p = Peek(w->video)) {
      uint16_t pid = Pid(p);
      if (pid == kPatPid) {
        PutTables(*w, m);
        tables = true;
      } else if (pid == videoPid) {
        if (!tables) PutTables(*w, m);
        tables = true;
        int64_t t = Starts(p) ? PesTime(p) : -1;
        if (t >= 0 && w->sound.fd >= 0) PutSoundUntil(*w, m, audioPid, t);
        PutPacket(*w, m, p, kVideoPid, CC_VIDEO);
      }
      Skip(w->video);
    }
    if (w->sound.fd >= 0) PutSoundUntil(*w, m, audioPid, -1);
    const uint8_t* from = w->buf;
    while (w->used > 0 && !w->failed) {
      ssize_t n = write(out, from, w->used);
      if (n <= 0) w->failed = true;
      if (n <= 0) break;
      from += n;
      w->used -= static_cast<uint32_t>(n);
    }
    ok = !w->failed && !w->video.failed && !w->sound.failed && tables;
  }
  TAP_MemFree(w);
  return ok;
}
