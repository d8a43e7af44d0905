// Sound frame headers of packed audio: ADTS (AAC), MPEG audio layers I to
// III (MPEG-1, MPEG-2 and 2.5 rates) and AC-3. Each header says how long its
// frame is, so a chunk can be cut into frames without decoding them.
#include "app/ChunkToTs.h"

namespace {

// kbit/s by bitrate index 1 to 14: MPEG-1 layers I, II, III; MPEG-2 layer I;
// MPEG-2 layers II and III.
constexpr uint16_t kMpegKbps[5][14] = {
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
constexpr uint32_t kMpegRates[3] = {44100, 48000, 32000};
constexpr uint32_t kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
// AC-3 kbit/s by frame size code / 2.
constexpr uint16_t kAc3Kbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                   192, 224, 256, 320, 384, 448, 512, 576, 640};

bool Adts(const uint8_t* p, size_t size, AudioFrame* f) {
  if (size < 7) return false;
  uint32_t rateIndex = (p[2] >> 2) & 0x0F;
  if (rateIndex >= 13) return false;
  uint32_t length = ((p[3] & 0x03u) << 11) | (static_cast<uint32_t>(p[4]) << 3) | (p[5] >> 5);
  uint32_t header = (p[1] & 0x01) != 0 ? 7 : 9;  // without or with CRC
  if (length <= header) return false;
  *f = {TS_AAC, length, 1024u * ((p[6] & 0x03u) + 1), kAdtsRates[rateIndex]};
  return true;
}

bool Mpeg(const uint8_t* p, size_t size, AudioFrame* f) {
  if (size < 4) return false;
  uint32_t version = (p[1] >> 3) & 0x03;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  uint32_t layer = 4 - ((p[1] >> 1) & 0x03);
  uint32_t bitrateIndex = p[2] >> 4;
  uint32_t rateIndex = (p[2] >> 2) & 0x03;
  if (version == 1 || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
  bool one = version == 3;
  uint32_t table = one ? layer - 1 : (layer == 1 ? 3 : 4);
  uint32_t bps = kMpegKbps[table][bitrateIndex - 1] * 1000u;
  uint32_t rate = kMpegRates[rateIndex] >> (one ? 0 : (version == 2 ? 1 : 2));
  uint32_t padding = (p[2] >> 1) & 0x01;
  uint32_t length = 0;
  uint32_t samples = 1152;
  if (layer == 1) {
    length = (12 * bps / rate + padding) * 4;
    samples = 384;
  } else if (layer == 3 && !one) {
    length = 72 * bps / rate + padding;
    samples = 576;
  } else {
    length = 144 * bps / rate + padding;
  }
  *f = {one ? TS_MPEG_AUDIO : TS_MPEG2_AUDIO, length, samples, rate};
  return true;
}

bool Ac3(const uint8_t* p, size_t size, AudioFrame* f) {
  if (size < 6) return false;
  uint32_t rateCode = p[4] >> 6;
  uint32_t sizeCode = p[4] & 0x3F;
  // bsid above 8 is a later syntax (E-AC-3) that the receiver does not decode.
  if (rateCode == 3 || sizeCode >= 38 || (p[5] >> 3) > 8) return false;
  uint32_t kbps = kAc3Kbps[sizeCode / 2];
  uint32_t words = rateCode == 0 ? 2 * kbps : rateCode == 2 ? 3 * kbps : kbps * 96000 / 44100 + (sizeCode & 1);
  static constexpr uint32_t kRates[3] = {48000, 44100, 32000};
  *f = {TS_AC3, 2 * words, 1536, kRates[rateCode]};
  return true;
}

}  // namespace

bool AudioFrameAt(const uint8_t* data, size_t size, AudioFrame* frame) {
  if (size < 2) return false;
  if (data[0] == 0x0B && data[1] == 0x77) return Ac3(data, size, frame);
  if (data[0] != 0xFF || (data[1] & 0xE0) != 0xE0) return false;
  // ADTS has the 12-bit sync and the layer bits 00, which MPEG audio reserves.
  if ((data[1] & 0xF6) == 0xF0) return Adts(data, size, frame);
  return Mpeg(data, size, frame);
}
