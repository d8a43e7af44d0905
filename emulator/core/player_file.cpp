// The player on its own, for benchmarks and fuzzing (emulator.h).
#include "core/player_internal.h"

namespace emu {

FilePlayback::FilePlayback(const std::string& path, uint32_t now, uint32_t giveUpTicks) {
  detail::Playback::Options options;
  options.giveUpTicks = giveUpTicks;
  playback_ = std::make_unique<detail::Playback>(path, now, options);
}

FilePlayback::~FilePlayback() = default;

bool FilePlayback::advance(uint32_t now) { return playback_->advance(now); }

PlayerStatus FilePlayback::status() const {
  PlayerStatus s;
  playback_->fillStatus(s);
  return s;
}

std::string FilePlayback::summary() const { return playback_->summary(); }

bool FilePlayback::picture(Image& plane) {
  if (!playback_->hasPicture()) return false;
  plane.width = OSD_ScreenWidth;
  plane.height = OSD_ScreenHeight;
  playback_->drawPicture(plane);
  return true;
}

}  // namespace emu
