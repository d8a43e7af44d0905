// The transport stream writer: one program (number 1) with a PAT, a PMT and
// up to two elementary streams, written packet by packet into a fixed buffer
// that goes to the file in a few large write() calls.
#include "app/TsWriter.h"

#include <unistd.h>

#include <cstring>

namespace {

constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x0100;
constexpr uint16_t kAudioPid = 0x0101;
constexpr uint32_t kPayload = TsPacketSize - 4;
constexpr int64_t kClockMask = (int64_t{1} << 33) - 1;
// The clock reference runs this far behind the decoding time, so that the
// player holds each frame a while before it is due.
constexpr int64_t kPcrLead = 9000;  // 100 ms

enum Counter { CC_PAT, CC_PMT, CC_VIDEO, CC_AUDIO };

void Flush(TsWriter* w) {
  const uint8_t* from = w->buffer;
  size_t left = w->used;
  while (left > 0 && !w->failed) {
    ssize_t n = write(w->fd, from, left);
    if (n <= 0) {
      w->failed = true;
      break;
    }
    from += n;
    left -= static_cast<size_t>(n);
  }
  w->used = 0;
}

// A fresh packet in the buffer, flushed first when the buffer is full.
uint8_t* NewPacket(TsWriter* w) {
  if (w->used + TsPacketSize > sizeof w->buffer) Flush(w);
  uint8_t* p = w->buffer + w->used;
  w->used += TsPacketSize;
  return p;
}

void PutHeader(TsWriter* w, uint8_t* p, uint16_t pid, bool start, bool adaptation, Counter counter) {
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | (pid >> 8));
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  p[3] = static_cast<uint8_t>((adaptation ? 0x30 : 0x10) | (w->continuity[counter] & 0x0F));
  w->continuity[counter] = static_cast<uint8_t>((w->continuity[counter] + 1) & 0x0F);
}

// One section (table id to before its CRC, `size` bytes) as a packet of its
// own: pointer field, section, CRC, 0xFF to the packet's end.
void PutSection(TsWriter* w, uint16_t pid, Counter counter, uint8_t* section, size_t size) {
  uint8_t* p = NewPacket(w);
  PutHeader(w, p, pid, true, false, counter);
  TsSectionPayload(p, section, size);
}

// The section header of table `tableId` whose body (after the five bytes
// that follow the length) and CRC make `bodySize` + 4 bytes.
void SectionHeader(uint8_t* s, uint8_t tableId, uint16_t idExtension, uint8_t version, size_t bodySize) {
  size_t length = 5 + bodySize + 4;
  s[0] = tableId;
  s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
  s[2] = static_cast<uint8_t>(length & 0xFF);
  s[3] = static_cast<uint8_t>(idExtension >> 8);
  s[4] = static_cast<uint8_t>(idExtension & 0xFF);
  s[5] = static_cast<uint8_t>(0xC1 | ((version & 0x1F) << 1));  // current
  s[6] = 0;                                                     // section number
  s[7] = 0;                                                     // last section number
}

void PutPat(TsWriter* w) {
  uint8_t s[12];
  SectionHeader(s, 0x00, 1, 0, 4);
  s[8] = 0x00;  // program 1
  s[9] = 0x01;
  s[10] = static_cast<uint8_t>(0xE0 | (kPmtPid >> 8));
  s[11] = static_cast<uint8_t>(kPmtPid & 0xFF);
  PutSection(w, kPatPid, CC_PAT, s, sizeof s);
}

void PutStream(uint8_t* at, TsCodec codec, uint16_t pid) {
  at[0] = codec;
  at[1] = static_cast<uint8_t>(0xE0 | (pid >> 8));
  at[2] = static_cast<uint8_t>(pid & 0xFF);
  at[3] = 0xF0;  // no descriptors
  at[4] = 0x00;
}

void PutPmt(TsWriter* w) {
  uint8_t s[12 + 2 * 5];
  size_t streams = 0;
  uint16_t pcrPid = w->video != TS_NONE ? kVideoPid : kAudioPid;
  if (w->video != TS_NONE) PutStream(s + 12 + 5 * streams++, w->video, kVideoPid);
  if (w->audio != TS_NONE) PutStream(s + 12 + 5 * streams++, w->audio, kAudioPid);
  SectionHeader(s, 0x02, 1, w->pmtVersion, 4 + 5 * streams);
  s[8] = static_cast<uint8_t>(0xE0 | (pcrPid >> 8));
  s[9] = static_cast<uint8_t>(pcrPid & 0xFF);
  s[10] = 0xF0;  // no program descriptors
  s[11] = 0x00;
  PutSection(w, kPmtPid, CC_PMT, s, 12 + 5 * streams);
}

// A PES timestamp: 4-bit `prefix`, then 33 bits with marker bits between.
void PutTimestamp(uint8_t* at, uint8_t prefix, int64_t ts) {
  auto t = static_cast<uint64_t>(ts & kClockMask);
  at[0] = static_cast<uint8_t>((prefix << 4) | ((t >> 29) & 0x0E) | 1);
  at[1] = static_cast<uint8_t>(t >> 22);
  at[2] = static_cast<uint8_t>(((t >> 14) & 0xFE) | 1);
  at[3] = static_cast<uint8_t>(t >> 7);
  at[4] = static_cast<uint8_t>(((t << 1) & 0xFE) | 1);
}

// The PES header for a frame of `size` bytes; its length.
size_t PesHeader(uint8_t* h, uint8_t streamId, int64_t pts, int64_t dts, size_t size) {
  bool both = dts != pts;
  size_t extra = both ? 10 : 5;
  size_t length = 3 + extra + size;
  // Length 0 (unbounded) is meant for pictures; sound frames are grouped
  // well below the limit.
  if (length > 0xFFFF) length = 0;
  h[0] = 0;
  h[1] = 0;
  h[2] = 1;
  h[3] = streamId;
  h[4] = static_cast<uint8_t>(length >> 8);
  h[5] = static_cast<uint8_t>(length & 0xFF);
  h[6] = 0x84;  // marker bits, data aligned
  h[7] = both ? 0xC0 : 0x80;
  h[8] = static_cast<uint8_t>(extra);
  PutTimestamp(h + 9, both ? 3 : 2, pts);
  if (both) PutTimestamp(h + 14, 1, dts);
  return 9 + extra;
}

uint8_t StreamId(bool video, TsCodec codec) {
  if (video) return 0xE0;
  return codec == TS_AC3 ? 0xBD : 0xC0;
}

}  // namespace

void TsWriterReset(TsWriter* w) {
  memset(w->continuity, 0, sizeof w->continuity);
  w->pmtVersion = 0;
  w->fd = -1;
  w->video = TS_NONE;
  w->audio = TS_NONE;
  w->failed = false;
  w->used = 0;
}

bool TsOpenSegment(TsWriter* w, int fd, TsCodec video, TsCodec audio) {
  if (video == TS_NONE && audio == TS_NONE) return false;
  bool before = w->video != TS_NONE || w->audio != TS_NONE;
  if (before && (video != w->video || audio != w->audio))
    w->pmtVersion = static_cast<uint8_t>((w->pmtVersion + 1) & 0x1F);
  w->fd = fd;
  w->video = video;
  w->audio = audio;
  w->failed = false;
  w->used = 0;
  PutPat(w);
  PutPmt(w);
  return true;
}

bool TsWriteFrame(TsWriter* w, bool video, int64_t pts, int64_t dts, bool key, const uint8_t* data, size_t size) {
  TsCodec codec = video ? w->video : w->audio;
  if (w->fd < 0 || codec == TS_NONE || w->failed) return false;
  if (dts < 0) dts = pts;
  uint16_t pid = video ? kVideoPid : kAudioPid;
  Counter counter = video ? CC_VIDEO : CC_AUDIO;
  // Every PES of the clock's track carries the clock: frames and groups of
  // sound frames last less than 100 ms, so it comes often enough.
  bool pcr = video || w->video == TS_NONE;
  uint8_t head[19];
  size_t headSize = PesHeader(head, StreamId(video, codec), pts, dts, size);
  size_t headAt = 0;
  size_t dataAt = 0;
  bool first = true;
  while (headAt < headSize || dataAt < size) {
    size_t left = headSize - headAt + size - dataAt;
    // Adaptation field: flags (and PCR) in the first packet, stuffing in the last.
    size_t fieldBody = 0;  // bytes after the field's length byte
    bool field = false;
    if (first && (pcr || key)) {
      field = true;
      fieldBody = 1 + (pcr ? 6 : 0);
    }
    size_t room = kPayload - (field ? 1 + fieldBody : 0);
    if (left < room) {
      size_t stuffing = room - left;
      if (!field) {
        field = true;
        stuffing -= 1;  // the length byte itself
        if (stuffing > 0) {
          fieldBody = 1;
          stuffing -= 1;
        }
      }
      fieldBody += stuffing;
      room = left;
    }
    uint8_t* p = NewPacket(w);
    PutHeader(w, p, pid, first, field, counter);
    uint8_t* at = p + 4;
    if (field) {
      *at++ = static_cast<uint8_t>(fieldBody);
      uint8_t* fieldEnd = at + fieldBody;
      if (fieldBody > 0) {
        *at++ = static_cast<uint8_t>((first && key ? 0x40 : 0) | (first && pcr ? 0x10 : 0));
        if (first && pcr) {
          auto base = static_cast<uint64_t>((dts - kPcrLead) & kClockMask);
          at[0] = static_cast<uint8_t>(base >> 25);
          at[1] = static_cast<uint8_t>(base >> 17);
          at[2] = static_cast<uint8_t>(base >> 9);
          at[3] = static_cast<uint8_t>(base >> 1);
          at[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);
          at[5] = 0;
          at += 6;
        }
        memset(at, 0xFF, static_cast<size_t>(fieldEnd - at));
      }
      at = fieldEnd;
    }
    size_t fromHead = headSize - headAt < room ? headSize - headAt : room;
    memcpy(at, head + headAt, fromHead);
    headAt += fromHead;
    memcpy(at + fromHead, data + dataAt, room - fromHead);
    dataAt += room - fromHead;
    first = false;
  }
  return !w->failed;
}

bool TsCloseSegment(TsWriter* w) {
  if (w->fd >= 0) Flush(w);
  w->fd = -1;
  return !w->failed;
}
