// Private to the player files of the emulator core: one playback of a
// transport-stream file that may still be growing, decoded with FFmpeg's
// libraries and paced by the stream's timestamps against the emulator's clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/internal.h"

namespace emu::detail {

// Where the player's decoded sound goes: 16-bit stereo PCM at kRate.
class AudioSink {
 public:
  static constexpr int kRate = 48000;
  virtual ~AudioSink() = default;
  // Takes `frames` stereo frames (2 samples each) whose first is due at
  // `dueMs` (milliseconds of the emulator's clock, ticks x 10).
  virtual void write(const int16_t* samples, size_t frames, int64_t dueMs) = 0;
};

// 16-bit stereo PCM into a WAV file whose header always tells the length
// written so far, so the file is readable even when the run is cut short.
class WavWriter : public AudioSink {
 public:
  ~WavWriter() override;
  // Creates (truncates) `path`. False with a message when it cannot.
  bool open(const std::string& path, std::string* error);
  bool isOpen() const { return file_ != nullptr; }
  // Appends `frames` stereo frames (2 samples each).
  void write(const int16_t* samples, size_t frames, int64_t dueMs = 0) override;

 private:
  void patchHeader();
  std::FILE* file_ = nullptr;
  uint64_t dataBytes_ = 0;
};

// One playback of a file from its start; the first advance() opens it.
class Playback {
 public:
  struct Options {
    // The player ends when it has waited this long at the end of a file that
    // does not grow.
    uint32_t giveUpTicks = 1000;
    // Pace against the real clock: never spend much longer than a frame per
    // call, and catch up when the event thread was held up.
    bool realTime = false;
    AudioSink* audio = nullptr;  // decoded audio goes here, when given
  };

  virtual ~Playback() = default;

  // Reads and decodes everything that is due by tick `now`. Returns false once
  // playback has ended by itself; why() then says why.
  virtual bool advance(uint32_t now) = 0;
  virtual const std::string& why() const = 0;

  // Bytes of the file played by tick `now`, and the file's size as last seen.
  virtual uint64_t bytesPlayed(uint32_t now) const = 0;
  virtual uint64_t fileBytes() const = 0;

  // True once a picture has been decoded; drawPicture() then lays it, scaled
  // to fit and centred, into the 720 x 576 plane (black around it).
  virtual bool hasPicture() const = 0;
  virtual void drawPicture(Image& plane) = 0;

  // What was decoded so far, for the status query and the console.
  virtual void fillStatus(PlayerStatus& status) const = 0;
  virtual std::string summary() const = 0;
};

// Starts playing `path` at tick `now` with the decoding player
// (player_decode.cpp, a module of its own that is loaded at the first call),
// or, in a build without FFmpeg or when that module cannot be loaded (which
// the console then says), with the nominal one. Never fails.
std::unique_ptr<Playback> openPlayback(const std::string& path, uint32_t now, const Playback::Options& options);

// The player without a decoder (player_nominal.cpp): it plays any file at a
// nominal byte rate, without picture or sound.
std::unique_ptr<Playback> nominalPlayback(const std::string& path, uint32_t now, const Playback::Options& options);

// The name of the decoding player's entry point in its module: a function
// `Playback* (const std::string& path, uint32_t now, const Playback::Options&)`
// that returns a new playback for the caller to delete.
constexpr char kDecoderEntry[] = "orvado_decoding_playback";

// The player's part of the run loop: decodes what is due now. Called when
// time moves on and before the screen or the play record is read.
void playerPump();
// Lays the current picture into `plane` (720 x 576); false before the first
// picture of a playback, or when nothing plays.
bool playerPicture(Image& plane);
// Reports a playback that is still running when a run ends.
void playerFinishRun();
// Looks at the played file through `fd`: false when it is gone (not open,
// unreadable or deleted); otherwise a new size goes into `size` and the tick
// of the change into `grewAt`.
bool lookAtGrowingFile(int fd, uint64_t& size, uint32_t& grewAt, uint32_t now);

// Bytes kept ahead of the demuxer while the file still grows, so that it
// never reads a half-written packet of audio or video.
constexpr uint64_t kReadMargin = 1 << 20;
// The file counts as written out once its size has held this long.
constexpr uint32_t kSettledTicks = 20;
// The start rule both players share: play starts once the demuxer's first
// look (2 MB) and the read margin are in the file, or the file has settled.
bool readyToStart(uint64_t size, uint32_t grewAt, uint32_t now);
// Bytes played of a file with nothing decodable, played since `since` at a
// nominal rate of about 5 Mbit/s.
uint64_t nominalBytesPlayed(uint64_t size, uint32_t since, uint32_t now);

// A transport stream with nothing decodable played at the pace of its own
// clock (the PCRs of its packets), as a receiver's player keeps to the
// stream's time: twenty seconds of radio last twenty seconds, whatever their
// bytes. While the file has nothing more the clock stands, as the player
// waits. A file without a clock in its first megabyte plays at the nominal
// rate.
class ClockedPlay {
 public:
  // Bytes played by `now` of the file on `fd`, `size` bytes long now, whose
  // play began at `since`.
  uint64_t played(int fd, uint64_t size, uint32_t since, uint32_t now);

 private:
  const uint8_t* packet(int fd, uint64_t size);

  uint64_t offset_ = 0;   // the next packet to play
  int64_t lastPcr_ = -1;  // the clock at the last packet that carried it
  int64_t credit_ = 0;    // 90 kHz units of time that may still be played
  uint32_t lastNow_ = 0;
  bool begun_ = false, nominal_ = false;
  uint64_t bufferAt_ = 0;
  size_t buffered_ = 0;
  uint8_t buffer_[188 * 256];
};
// The give-up rule both players share: a playback waiting for data ends once
// the file has neither grown nor been waited on for `giveUpTicks`; then true,
// with the reason in `why`.
bool waitedTooLong(uint32_t now, uint32_t grewAt, uint32_t starvedSince, uint32_t giveUpTicks, std::string& why);

}  // namespace emu::detail
