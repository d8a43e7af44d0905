// Fragmented MP4 (CMAF) as HLS serves it: an init segment (ftyp, moov) named
// by #EXT-X-MAP, then media segments of moof/mdat pairs. The receiver's
// player reads transport stream only, so these are read here, bounded by
// the data at every step, and rewritten as TS (Fmp4ToTs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/TsWriter.h"

namespace mp4 {

// Big-endian reads; the caller has checked the length.
inline uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
inline uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
inline uint64_t Be64(const uint8_t* p) { return static_cast<uint64_t>(Be32(p)) << 32 | Be32(p + 4); }
constexpr uint32_t FourCc(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8 | static_cast<uint8_t>(s[3]);
}

// One box inside a container held in memory.
struct Box {
  uint32_t type;
  const uint8_t* body;  // its content, after the header
  size_t size;          // the content's length
};

// Reads the box at offset *at of the `size` bytes at `data` (a container's
// content) into *box and moves *at past it. A size of 0 reaches to the
// container's end; a size of 1 is followed by a 64-bit one. False at the
// container's end, or for a box whose header or length does not fit in it.
bool NextBox(const uint8_t* data, size_t size, size_t* at, Box* box);

// The first box of `type` directly inside the container (`data`, `size`);
// false when there is none (or the container is damaged before it).
bool FindBox(const uint8_t* data, size_t size, uint32_t type, Box* box);

// What a track of the init segment holds, in the receiver's terms.
enum TrackKind : uint8_t { TRACK_NONE, TRACK_H264, TRACK_AAC, TRACK_MPEG_AUDIO, TRACK_AC3 };

constexpr uint32_t ParameterBytes = 1024;  // SPS and PPS of a track, in Annex B form
constexpr uint32_t InitTracks = 2;         // one picture track and one sound track

struct Track {
  uint32_t id;         // track_ID
  uint32_t timescale;  // mdhd: units per second of its times
  TrackKind kind;
  uint8_t lengthSize;  // H.264: bytes of each NAL unit's length (avcC), 1, 2 or 4
  uint16_t parameterSize;
  uint8_t parameters[ParameterBytes];  // H.264: SPS and PPS, each after a start code
  uint8_t adts[2];                     // AAC: profile, rate index and channels as the ADTS header puts them
  int64_t shift;                       // 90 kHz: the edit list's start, taken off every time (B-frames' delay)
  // trex: the sample defaults of its fragments.
  uint32_t defaultDuration;
  uint32_t defaultSize;
  uint32_t defaultFlags;
};

// The init segment, read.
struct Init {
  uint32_t trackCount;  // tracks kept: at most one picture and one sound track
  Track track[InitTracks];
};

enum InitResult {
  INIT_OK,
  INIT_DAMAGED,        // no moov, or a box that does not fit
  INIT_CANNOT_DECODE,  // a picture or sound track in a codec the receiver lacks (HEVC, encrypted, ...)
  INIT_NO_TRACK,       // neither picture nor sound
};

// Reads the init segment of `size` bytes at `data` into *init: for each
// picture and sound track its id, timescale, codec with its decoder set-up
// (avcC's SPS, PPS and length size; esds's AudioSpecificConfig), and the
// sample defaults of mvex/trex. Other tracks (subtitles, data) are left out.
InitResult ReadInit(const uint8_t* data, size_t size, Init* init);

// The track of `init` with `id`, or null.
const Track* TrackById(const Init& init, uint32_t id);

// The ADTS header (7 bytes into `out`) for an AAC frame of `size` bytes of
// `track`; false when the frame is too long for one.
bool AdtsHeader(const Track& track, size_t size, uint8_t out[7]);

// An H.264 sample of `size` bytes (NAL units, each after its big-endian
// length of track.lengthSize bytes) as an Annex B access unit into `out`
// (`room` bytes): an access unit delimiter first unless the sample has one,
// the track's SPS and PPS before a key frame that lacks them. The length
// written, or 0 when a NAL unit overruns the sample or `out` is too small.
// *idr is set when the sample holds an IDR picture.
size_t AvcToAnnexB(const Track& track, const uint8_t* sample, size_t size, bool key, uint8_t* out, size_t room,
                   bool* idr);

// The room AvcToAnnexB may need for a sample of `size` bytes.
size_t AnnexBRoom(const Track& track, size_t size);

// A time in a track's timescale (not 0) in 90 kHz units, without overflow
// (beyond 2^64 / 90000 seconds it wraps, as TS times do). Divides without
// the compiler's 64-bit division helpers, which the receiver lacks.
int64_t To90k(uint64_t time, uint32_t timescale);

// Added to every time written: an edit list's shift can then never make a
// time negative.
constexpr int64_t TimeLead = 90000;
constexpr uint32_t MaxMoof = 512 * 1024;         // a fragment's header, read whole
constexpr uint32_t MaxSample = 4 * 1024 * 1024;  // one picture or sound frame

enum ConvertResult {
  CONVERT_OK,
  CONVERT_DAMAGED,    // a box or a sample that does not fit, or no fragment at all
  CONVERT_TOO_LARGE,  // a fragment header or a sample past the bounds above
  CONVERT_NO_MEMORY,
  CONVERT_WRITE_FAILED,
};

// Converts the media segment in the file `in` (moof/mdat pairs, styp and
// others passed over) into TS through `w` onto `out`: each fragment's samples
// of the init's tracks, in decode-time order across the tracks, with their
// times from tfdt, the sample durations and composition offsets. Reads the
// file piece by piece: a fragment header and one sample are held at a time.
ConvertResult Fmp4ToTs(int in, const Init& init, TsWriter* w, int out);

}  // namespace mp4
