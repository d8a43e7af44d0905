// Chunks of other forms made into MPEG transport stream before they are
// appended to Stream.ts: the dispatcher, and the parsers of packed audio
// (raw sound frames behind an ID3 tag, as radio stations serve HLS).
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/TsWriter.h"

// What the run carries from chunk to chunk while it converts: the writer
// (its counters), and the sound's clock. Reset at a new Stream.ts by
// ChunkToTsReset.
struct TsConversion {
  TsWriter ts;
  int64_t audioNext;   // 90 kHz time where the last packed-audio chunk's sound ended; -1 none yet
  int64_t audioTicks;  // 90 kHz ticks of sound converted since the reset
};

// A new Stream.ts: the writer from zero, no clock.
void ChunkToTsReset(TsConversion* c);

// Makes the chunk file at the Linux path `path` transport stream when it is
// of a form the TAP converts (now: packed audio, told by its content: an
// "ID3" tag or a sound frame header at its start). The result is written to
// "<path>.tsw" and renamed over `path`, so that a failure leaves the chunk as
// it was. A chunk of any other form (transport stream among them) is left
// untouched, byte for byte. *fetchedBytes (may be null) receives the
// chunk's size as it came, before any conversion (-1 when it cannot be
// read). False only when a chunk of a known form could not be converted
// (unreadable, no sound frame in it, or the disk failed); the writer's
// counters and clock are then as they were.
bool ChunkToTs(const char* path, TsConversion* c, int64_t* fetchedBytes);

// True when the `size` bytes at `data` (a chunk's start) look like packed
// audio: an ID3v2 tag or a sound frame header.
bool IsPackedAudio(const uint8_t* data, size_t size);

// Converts packed audio read from `in` into transport stream written to
// `out` (both open file descriptors), through c->ts: one PES packet for each
// run of frames of up to 90 ms. The timestamps come from the ID3 tag's
// transport stream timestamp, else from the previous chunk's end
// (c->audioNext), else from 1.4 s; c->audioNext is then set to this chunk's
// end, and c->audioTicks grows by its length. Reads through a buffer of
// 64 KiB from TAP_MemAlloc, released before it returns. False when there is
// no memory, reading or writing failed, or no sound frame was found.
bool PackedAudioToTs(int in, int out, TsConversion* c);

// ---- The parsers ---------------------------------------------------------

// One sound frame's header.
struct AudioFrame {
  TsCodec codec;     // TS_AAC (ADTS), TS_MPEG_AUDIO/TS_MPEG2_AUDIO (layers I-III) or TS_AC3
  uint32_t length;   // bytes of the whole frame, header included
  uint32_t samples;  // sound samples per channel that it holds
  uint32_t rate;     // samples per second
};

// Reads the frame header at `data` (`size` bytes available; needs up to 7).
// False when there is none: no sync word, a reserved or free-format value, or
// too few bytes.
bool AudioFrameAt(const uint8_t* data, size_t size, AudioFrame* frame);

// The whole length of the ID3v2 tag at `data` (header, frames and footer),
// of which `size` bytes are available; 0 when `data` does not open with a
// well-formed ID3v2 header (10 bytes are needed). When the available bytes
// hold a PRIV frame "com.apple.streaming.transportStreamTimestamp", its
// 33-bit 90 kHz time goes to *timestamp (else *timestamp is left alone).
uint32_t Id3TagLength(const uint8_t* data, size_t size, int64_t* timestamp);

// ---- Sound from a rendition of its own -------------------------------------

// What the merge carries from segment to segment of one Stream.ts: the
// counters of its packets and the tracks its map listed last.
struct TsMerge {
  uint8_t continuity[4];  // PAT, PMT, picture, sound
  uint8_t pmtVersion;
  TsCodec video, audio;
};

// A new Stream.ts: counters from zero, no tracks yet.
void TsMergeReset(TsMerge* m);

// Writes the picture of the transport stream read from `video` and the sound
// of the one read from `sound` (-1: none for this segment) as one program
// into `out` (open file descriptors): the picture's packets as they came, the
// sound's PES packets put between them by their timestamps (each before the
// first picture whose decoding time is later), one PAT and PMT listing both
// (where the picture's stream had its PAT), counters carried on in *m, the
// clock reference left to the picture. Works packet by packet through one
// TAP_MemAlloc block of about 18 KiB. False when there is no memory, a read
// or write failed, or `video` holds no picture that the receiver decodes; a
// `sound` without a sound track is left out.
bool MergeSoundTs(int video, int sound, int out, TsMerge* m);

// MergeSoundTs on the transport stream files at the Linux paths `videoPath`
// and `soundPath` (null: none), written to "<videoPath>.tsw" and renamed over
// `videoPath`. False, with the file and *m as they were, when it fails.
bool MergeSoundChunk(const char* videoPath, const char* soundPath, TsMerge* m);
