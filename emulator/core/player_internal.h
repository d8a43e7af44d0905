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

// 16-bit stereo PCM into a WAV file whose header always tells the length
// written so far, so the file is readable even when the run is cut short.
class WavWriter {
 public:
  static constexpr int kRate = 48000;
  ~WavWriter();
  // Creates (truncates) `path`. False with a message when it cannot.
  bool open(const std::string& path, std::string* error);
  bool isOpen() const { return file_ != nullptr; }
  // Appends `frames` stereo frames (2 samples each).
  void write(const int16_t* samples, size_t frames);

 private:
  void patchHeader();
  std::FILE* file_ = nullptr;
  uint64_t dataBytes_ = 0;
};

class Playback {
 public:
  struct Options {
    // The player ends when it has waited this long at the end of a file that
    // does not grow.
    uint32_t giveUpTicks = 1000;
    // Pace against the real clock: never spend much longer than a frame per
    // call, and catch up when the event thread was held up.
    bool realTime = false;
    WavWriter* audio = nullptr;  // decoded audio goes here when open
  };

  // Plays `path` from its start; the first call to advance() opens it.
  Playback(const std::string& path, uint32_t now, const Options& options);
  ~Playback();
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Reads and decodes everything that is due by tick `now`. Returns false once
  // playback has ended by itself; why() then says why.
  bool advance(uint32_t now);
  const std::string& why() const;

  // Bytes of the file played by tick `now`, and the file's size as last seen.
  uint64_t bytesPlayed(uint32_t now) const;
  uint64_t fileBytes() const;

  // True once a picture has been decoded; drawPicture() then lays it, scaled
  // to fit and centred, into the 720 x 576 plane (black around it).
  bool hasPicture() const;
  void drawPicture(Image& plane);

  // What was decoded so far, for the status query and the console.
  void fillStatus(PlayerStatus& status) const;
  std::string summary() const;

  struct Impl;  // player_impl.h

 private:
  std::unique_ptr<Impl> impl_;
};

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

}  // namespace emu::detail
