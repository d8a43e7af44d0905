// A small MPEG transport stream writer: the receiver's player reads TS only,
// so media of other forms (packed audio, fragmented MP4) is written as TS
// while it is appended to Stream.ts.
#pragma once

#include <cstddef>
#include <cstdint>

// The stream types the writer puts in its PMT: the receiver's codecs only.
enum TsCodec : uint8_t {
  TS_NONE = 0,
  TS_MPEG_AUDIO = 0x03,   // MPEG-1 audio (layer II, III)
  TS_MPEG2_AUDIO = 0x04,  // MPEG-2 audio at the lower sampling rates
  TS_AAC = 0x0F,          // AAC with ADTS headers
  TS_H264 = 0x1B,         // H.264, Annex B byte stream
  TS_AC3 = 0x81,
};

constexpr uint32_t TsPacketSize = 188;
constexpr uint32_t TsBufferPackets = 64;  // packets gathered before one write()

// The writer's state. Its continuity counters carry on from segment to
// segment, since every segment goes to the end of the one Stream.ts; a
// channel start (or a new Stream.ts) resets it with TsWriterReset.
struct TsWriter {
  int fd;                 // where packets go (a segment's output file); -1 between segments
  TsCodec video;          // the program's picture track (TS_NONE without)
  TsCodec audio;          // and its sound track
  uint8_t continuity[4];  // PAT, PMT, video, audio
  uint8_t pmtVersion;     // moves on when a segment's tracks differ from the last one's
  bool failed;            // a write failed since TsOpenSegment
  uint32_t used;          // bytes gathered in buffer
  uint8_t buffer[TsBufferPackets * TsPacketSize];
};

// A new Stream.ts: every counter from zero, no file.
void TsWriterReset(TsWriter* w);

// Begins a segment's output into `fd` (opened by the caller for writing)
// with the tracks given (either may be TS_NONE, not both): writes a PAT and a
// PMT, so that the player can start at any segment (a new PMT version when
// the tracks are not the last segment's). False when both tracks are
// TS_NONE.
bool TsOpenSegment(TsWriter* w, int fd, TsCodec video, TsCodec audio);

// Writes one access unit (a picture, or one or more sound frames) of `size`
// bytes as one PES packet on the track `video` names. `pts` and `dts` are in
// 90 kHz units (dts < 0: the same as pts); `key` marks a picture that can be
// decoded on its own (random access indicator). The clock reference (PCR),
// 100 ms behind `dts`, rides on every PES packet of the picture track, or of
// the sound track when there is none: callers keep those packets under
// 100 ms apart. False when the output could not be written
// (TsWriter::failed stays set).
bool TsWriteFrame(TsWriter* w, bool video, int64_t pts, int64_t dts, bool key, const uint8_t* data, size_t size);

// Fills a table's packet from byte 4 on (after its header): the pointer
// field, the section of `size` bytes (table id up to its CRC), the section's
// MPEG-2 CRC32, and 0xFF to the packet's end. `size` + 9 must fit the
// packet; the caller makes sure of it.
void TsSectionPayload(uint8_t* packet, const uint8_t* section, size_t size);

// Writes what is gathered and ends the segment's output (fd is not closed).
// False when any write of the segment failed.
bool TsCloseSegment(TsWriter* w);
