// Private to player_decode.cpp, player_picture.cpp and player_clock.cpp (the
// decoder module): the state of one playback.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <vector>

#include "core/player_internal.h"

namespace emu::detail {

// The player that decodes with FFmpeg's libraries.
class DecodingPlayback final : public Playback {
 public:
  DecodingPlayback(const std::string& path, uint32_t now, const Options& options);
  ~DecodingPlayback() override;
  bool advance(uint32_t now) override;
  const std::string& why() const override;
  uint64_t bytesPlayed(uint32_t now) const override;
  uint64_t fileBytes() const override;
  bool hasPicture() const override;
  void drawPicture(Image& plane) override;
  void fillStatus(PlayerStatus& status) const override;
  std::string summary() const override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

struct DecodingPlayback::Impl {
  std::string path, name;  // name: the last path part, for console lines
  Options options;
  uint32_t startTick = 0;

  // ---- the growing file ----
  int fd = -1;
  uint64_t size = 0;       // as last seen
  uint32_t grewAt = 0;     // tick when the size last changed
  uint64_t handedOut = 0;  // bytes given to the demuxer
  uint64_t played = 0;     // end of the last packet played, in bytes

  // ---- demuxer and decoders ----
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  bool opened = false;
  bool blind = false;  // nothing decodable: played at the pace of its clock
  uint32_t blindSince = 0;
  ClockedPlay clock;  // the pace of a blind play
  int video = -1, audio = -1;
  AVCodecContext* videoCodec = nullptr;
  AVCodecContext* audioCodec = nullptr;
  AVPacket* packet = nullptr;  // read ahead, waiting until it is due
  bool havePacket = false;
  int64_t packetDue = 0;
  AVFrame* frame = nullptr;  // scratch for the decoders
  SwrContext* resampler = nullptr;
  int resamplerRate = 0, resamplerFormat = -1;
  AVChannelLayout resamplerLayout{};
  std::vector<int16_t> pcm;

  // ---- the clock: stream time (microseconds) against ticks ----
  bool anchored = false;
  int64_t anchorUs = 0, anchorTick = 0;
  bool haveLast = false;
  int64_t lastUs = 0;
  bool starved = false;  // wanted data that was not there yet
  uint32_t starvedSince = 0;
  uint32_t lastBehindNote = 0;

  // ---- the picture ----
  AVFrame* shown = nullptr;
  bool haveShown = false, shownChanged = false;
  int64_t shownDueMs = -1;      // when the shown picture is due (msOf its time)
  std::vector<uint32_t> plane;  // the scaled picture in the 720 x 576 plane
  SwsContext* scaler = nullptr;

  // ---- what was decoded ----
  uint64_t pictures = 0, skippedPictures = 0, damaged = 0;
  uint64_t skippedBefore = 0;  // skipped pictures when the damage began
  bool videoDamaged = false, audioDamaged = false;
  uint64_t audioSamples = 0;
  uint32_t sampleRate = 0;
  uint32_t firstPictureTick = 0;
  uint32_t width = 0, height = 0;
  std::string why;
  bool ended = false;

  ~Impl();
  bool open(uint32_t now);
  bool readPacket(uint32_t now);  // false when nothing could be read now
  void play(uint32_t now);        // the held packet, now due
  void decodeVideo(uint32_t now, const AVPacket* pkt);
  void decodeAudio(const AVPacket* pkt);
  // When a decoded frame of stream `index` is due (msOf its timestamp); the
  // last due time when it has none.
  int64_t dueMsOf(const AVFrame* f, int index) const;
  void damage(const char* what, uint64_t at, const char* how);
  uint32_t block(uint64_t bytes) const { return static_cast<uint32_t>(bytes / 188); }

  // player_clock.cpp: when a packet is due, following jumps and stalls.
  int64_t dueTick(const AVPacket* pkt, uint32_t now);
  int64_t tickOf(int64_t us) const { return anchorTick + (us - anchorUs) / 10000; }
  // The same on the emulator's clock in milliseconds (ticks x 10).
  int64_t msOf(int64_t us) const { return anchorTick * 10 + (us - anchorUs) / 1000; }
};

// The size (w, h) of a `width` x `height` picture with sample aspect `sar`
// scaled to fit the 720 x 576 plane.
void pictureFit(uint32_t width, uint32_t height, AVRational sar, uint32_t& w, uint32_t& h);

}  // namespace emu::detail
