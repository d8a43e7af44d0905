// The init segment of fragmented MP4: what each picture and sound track needs
// to become TS. The box tree is walked along fixed paths (moov/trak/mdia/...),
// so no input can make it go deep.
#include <cstring>

#include "app/Mp4.h"

namespace mp4 {

namespace {

// Bits from the front of a buffer; reads past its end give zeros and set
// `over`.
struct Bits {
  const uint8_t* p;
  size_t size;
  size_t bit;
  bool over;
  uint32_t get(uint32_t n) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i, ++bit) {
      uint32_t b = 0;
      if (bit / 8 < size)
        b = (p[bit / 8] >> (7 - bit % 8)) & 1u;
      else
        over = true;
      v = v << 1 | b;
    }
    return v;
  }
};

uint32_t ObjectType(Bits* b) {
  uint32_t aot = b->get(5);
  return aot == 31 ? 32 + b->get(6) : aot;
}

// An AudioSpecificConfig as ADTS puts it: AAC Main, LC, SSR or LTP (with SBR
// or PS only implied), a rate from the table, channels 1 to 7.
bool ReadAudioConfig(const uint8_t* p, size_t size, Track* t) {
  Bits b = {p, size, 0, false};
  uint32_t aot = ObjectType(&b);
  uint32_t rate = b.get(4);
  if (rate == 15) return false;
  uint32_t channels = b.get(4);
  if (aot == 5 || aot == 29) {
    if (b.get(4) == 15) b.get(24);
    aot = ObjectType(&b);
  }
  if (b.over || aot < 1 || aot > 4 || rate > 12 || channels < 1 || channels > 7) return false;
  uint32_t profile = aot - 1;
  t->adts[0] = static_cast<uint8_t>(profile << 6 | rate << 2 | channels >> 2);
  t->adts[1] = static_cast<uint8_t>((channels & 3) << 6);
  return true;
}

// An MPEG-4 descriptor's tag and length at *at; false when it overruns.
bool Descriptor(const uint8_t* p, size_t size, size_t* at, uint8_t* tag, size_t* length) {
  if (*at >= size) return false;
  *tag = p[(*at)++];
  size_t n = 0;
  for (int i = 0; i < 4; ++i) {
    if (*at >= size) return false;
    uint8_t c = p[(*at)++];
    n = n << 7 | (c & 0x7F);
    if ((c & 0x80) == 0) break;
  }
  if (n > size - *at) return false;
  *length = n;
  return true;
}

// esds: the ES descriptor's decoder configuration. Sets the kind from its
// object type; AAC also needs its AudioSpecificConfig.
bool ReadEsds(const Box& esds, Track* t) {
  const uint8_t* p = esds.body;
  size_t size = esds.size;
  size_t at = 4;  // version and flags
  uint8_t tag = 0;
  size_t length = 0;
  if (!Descriptor(p, size, &at, &tag, &length) || tag != 3 || length < 3) return false;
  size_t end = at + length;
  uint8_t flags = p[at + 2];
  at += 3;
  if (flags & 0x80) at += 2;
  if ((flags & 0x40) && at < end) at += 1 + p[at];
  if (flags & 0x20) at += 2;
  if (at > end || !Descriptor(p, end, &at, &tag, &length) || tag != 4 || length < 13) return false;
  uint8_t objectType = p[at];
  size_t configEnd = at + length;
  at += 13;
  if (objectType == 0x69 || objectType == 0x6B) {
    t->kind = TRACK_MPEG_AUDIO;
    return true;
  }
  if (objectType != 0x40 && objectType != 0x66 && objectType != 0x67 && objectType != 0x68) return false;
  if (!Descriptor(p, configEnd, &at, &tag, &length) || tag != 5) return false;
  if (!ReadAudioConfig(p + at, length, t)) return false;
  t->kind = TRACK_AAC;
  return true;
}

// avcC: the NAL length size and every SPS and PPS, each after a start code.
bool ReadAvcC(const Box& avcC, Track* t) {
  const uint8_t* p = avcC.body;
  size_t size = avcC.size;
  if (size < 6) return false;
  t->lengthSize = static_cast<uint8_t>((p[4] & 3) + 1);
  if (t->lengthSize == 3) return false;
  size_t at = 5;
  t->parameterSize = 0;
  for (int set = 0; set < 2; ++set) {
    if (at >= size) return false;
    uint32_t count = set == 0 ? p[at] & 0x1Fu : p[at];
    ++at;
    for (uint32_t i = 0; i < count; ++i) {
      if (size - at < 2) return false;
      size_t n = Be16(p + at);
      at += 2;
      if (n > size - at) return false;
      if (n + 4 > ParameterBytes - t->parameterSize) return false;
      uint8_t* out = t->parameters + t->parameterSize;
      out[0] = 0;
      out[1] = 0;
      out[2] = 0;
      out[3] = 1;
      memcpy(out + 4, p + at, n);
      t->parameterSize = static_cast<uint16_t>(t->parameterSize + n + 4);
      at += n;
    }
  }
  return true;
}

// The first sample entry of stsd: the codec and its set-up. False for a
// codec the receiver cannot decode.
bool ReadSampleEntry(const Box& stsd, bool video, Track* t) {
  if (stsd.size < 8) return false;
  size_t at = 8;  // version, flags, entry count
  Box entry;
  if (!NextBox(stsd.body, stsd.size, &at, &entry)) return false;
  Box child;
  if (video) {
    constexpr size_t kVisual = 78;
    if (entry.type != FourCc("avc1") && entry.type != FourCc("avc3")) return false;
    if (entry.size < kVisual) return false;
    if (!FindBox(entry.body + kVisual, entry.size - kVisual, FourCc("avcC"), &child)) return false;
    t->kind = TRACK_H264;
    return ReadAvcC(child, t);
  }
  if (entry.type == FourCc("ac-3")) {
    t->kind = TRACK_AC3;
    return true;
  }
  if (entry.type != FourCc("mp4a") || entry.size < 28) return false;
  // QuickTime's sound entries of version 1 and 2 are longer.
  uint32_t version = Be16(entry.body + 8);
  size_t audio = version == 1 ? 28 + 16 : version == 2 ? 28 + 36 : 28;
  if (entry.size < audio || !FindBox(entry.body + audio, entry.size - audio, FourCc("esds"), &child)) return false;
  return ReadEsds(child, t);
}

// The number at `offset` of a full box, or at `offset` + `wide` for one of
// version 1, where 64-bit times come before it.
bool FullBoxNumber(const Box& box, size_t offset, size_t wide, uint32_t* value) {
  if (box.size < 4) return false;
  size_t at = box.body[0] == 1 ? offset + wide : offset;
  if (box.size < at + 4) return false;
  *value = Be32(box.body + at);
  return true;
}

// The first edit of edts/elst that shows media: its start in the media, as
// 90 kHz units within TimeLead; 0 without.
int64_t EditShift(const Box& trak, uint32_t timescale) {
  Box edts, elst;
  if (!FindBox(trak.body, trak.size, FourCc("edts"), &edts) || !FindBox(edts.body, edts.size, FourCc("elst"), &elst) ||
      elst.size < 8)
    return 0;
  bool wide = elst.body[0] == 1;
  size_t entry = wide ? 20 : 12;
  uint32_t count = Be32(elst.body + 4);
  for (size_t i = 0, at = 8; i < count && elst.size - at >= entry; ++i, at += entry) {
    int64_t start = wide ? static_cast<int64_t>(Be64(elst.body + at + 8))
                         : static_cast<int64_t>(static_cast<int32_t>(Be32(elst.body + at + 4)));
    if (start < 0) continue;  // an empty edit
    // TimeLead is a second: a longer shift is cut to it before it could
    // overflow in the conversion.
    if (static_cast<uint64_t>(start) >= timescale) return TimeLead;
    return To90k(static_cast<uint64_t>(start), timescale);
  }
  return 0;
}

}  // namespace

InitResult ReadInit(const uint8_t* data, size_t size, Init* init) {
  memset(init, 0, sizeof *init);
  Box moov;
  if (!FindBox(data, size, FourCc("moov"), &moov)) return INIT_DAMAGED;
  size_t at = 0;
  Box trak;
  bool refused = false;
  while (NextBox(moov.body, moov.size, &at, &trak)) {
    if (trak.type != FourCc("trak")) continue;
    Box tkhd, mdia, mdhd, hdlr, minf, stbl, stsd;
    if (!FindBox(trak.body, trak.size, FourCc("mdia"), &mdia) ||
        !FindBox(mdia.body, mdia.size, FourCc("hdlr"), &hdlr) || hdlr.size < 12)
      return INIT_DAMAGED;
    uint32_t handler = Be32(hdlr.body + 8);
    bool video = handler == FourCc("vide");
    if (!video && handler != FourCc("soun")) continue;
    TrackKind wanted = video ? TRACK_H264 : TRACK_AAC;
    bool have = false;
    for (uint32_t i = 0; i < init->trackCount; ++i)
      have = have || (init->track[i].kind == TRACK_H264) == (wanted == TRACK_H264);
    if (have) continue;  // one picture and one sound track are played
    Track t;
    memset(&t, 0, sizeof t);
    if (!FindBox(trak.body, trak.size, FourCc("tkhd"), &tkhd) || !FullBoxNumber(tkhd, 12, 8, &t.id) ||
        !FindBox(mdia.body, mdia.size, FourCc("mdhd"), &mdhd) || !FullBoxNumber(mdhd, 12, 8, &t.timescale) ||
        t.timescale == 0 || !FindBox(mdia.body, mdia.size, FourCc("minf"), &minf) ||
        !FindBox(minf.body, minf.size, FourCc("stbl"), &stbl) || !FindBox(stbl.body, stbl.size, FourCc("stsd"), &stsd))
      return INIT_DAMAGED;
    t.shift = EditShift(trak, t.timescale);
    if (!ReadSampleEntry(stsd, video, &t)) {
      refused = true;
      continue;
    }
    init->track[init->trackCount++] = t;
  }
  if (refused) return INIT_CANNOT_DECODE;
  if (init->trackCount == 0) return INIT_NO_TRACK;
  Box mvex, trex;
  if (FindBox(moov.body, moov.size, FourCc("mvex"), &mvex)) {
    size_t m = 0;
    while (NextBox(mvex.body, mvex.size, &m, &trex)) {
      if (trex.type != FourCc("trex") || trex.size < 24) continue;
      for (uint32_t i = 0; i < init->trackCount; ++i) {
        Track& t = init->track[i];
        if (t.id != Be32(trex.body + 4)) continue;
        t.defaultDuration = Be32(trex.body + 12);
        t.defaultSize = Be32(trex.body + 16);
        t.defaultFlags = Be32(trex.body + 20);
      }
    }
  }
  return INIT_OK;
}

const Track* TrackById(const Init& init, uint32_t id) {
  for (uint32_t i = 0; i < init.trackCount && i < InitTracks; ++i)
    if (init.track[i].id == id) return &init.track[i];
  return nullptr;
}

}  // namespace mp4
