// The player on its own, for benchmarks and fuzzing (emulator.h).
#include <sys/stat.h>

#include <algorithm>

#include "core/player_internal.h"

namespace emu::detail {

bool lookAtGrowingFile(int fd, uint64_t& size, uint32_t& grewAt, uint32_t now) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_nlink == 0) return false;
  if (static_cast<uint64_t>(st.st_size) != size) {
    size = static_cast<uint64_t>(st.st_size);
    grewAt = now;
  }
  return true;
}

bool readyToStart(uint64_t size, uint32_t grewAt, uint32_t now) {
  return size >= 2000000 + kReadMargin || now - grewAt >= kSettledTicks;
}

uint64_t nominalBytesPlayed(uint64_t size, uint32_t since, uint32_t now) {
  constexpr uint64_t kBytesPerTick = 33 * 188;
  return std::min<uint64_t>(size, static_cast<uint64_t>(now - since) * kBytesPerTick);
}

bool waitedTooLong(uint32_t now, uint32_t grewAt, uint32_t starvedSince, uint32_t giveUpTicks, std::string& why) {
  if (now - std::max(grewAt, starvedSince) < giveUpTicks) return false;
  why = format("the file has not grown for %.0f s", giveUpTicks / 100.0);
  return true;
}

}  // namespace emu::detail

namespace emu {

FilePlayback::FilePlayback(const std::string& path, uint32_t now, uint32_t giveUpTicks) {
  detail::Playback::Options options;
  options.giveUpTicks = giveUpTicks;
  playback_ = detail::openPlayback(path, now, options);
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
