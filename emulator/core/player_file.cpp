// The player on its own, for benchmarks and fuzzing (emulator.h).
#include <sys/stat.h>
#include <unistd.h>

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

const uint8_t* ClockedPlay::packet(int fd, uint64_t size) {
  if (offset_ < bufferAt_ || offset_ + 188 > bufferAt_ + buffered_) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buffer_, (size - offset_) / 188 * 188));
    ssize_t got = pread(fd, buffer_, want, static_cast<off_t>(offset_));
    if (got < 188) return nullptr;
    bufferAt_ = offset_;
    buffered_ = static_cast<size_t>(got);
  }
  return buffer_ + static_cast<size_t>(offset_ - bufferAt_);
}

uint64_t ClockedPlay::played(int fd, uint64_t size, uint32_t since, uint32_t now) {
  constexpr int64_t kLongestGap = 5 * 90000;  // further apart, the clock was set anew
  if (!begun_) {
    begun_ = true;
    lastNow_ = now;
  }
  credit_ += static_cast<int64_t>(now - lastNow_) * 900;  // ticks of 10 ms in 90 kHz units
  lastNow_ = now;
  while (!nominal_ && offset_ + 188 <= size) {
    // Until a clock shows, at the nominal rate.
    if (lastPcr_ < 0 && offset_ + 188 > nominalBytesPlayed(size, since, now)) return offset_;
    const uint8_t* p = packet(fd, size);
    if (p == nullptr) break;
    // A PCR: an adaptation field with its flag set.
    if (p[0] == 0x47 && (p[3] & 0x20) != 0 && p[4] >= 7 && (p[5] & 0x10) != 0) {
      int64_t pcr = static_cast<int64_t>(p[6]) << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7;
      if (lastPcr_ >= 0) {
        int64_t gap = pcr - lastPcr_;
        if (gap < 0 || gap > kLongestGap) gap = 0;
        if (gap > credit_) return offset_;
        credit_ -= gap;
      }
      lastPcr_ = pcr;
    }
    offset_ += 188;
    if (lastPcr_ < 0 && offset_ >= (1u << 20)) nominal_ = true;
  }
  if (nominal_) return nominalBytesPlayed(size, since, now);
  credit_ = 0;  // the end of what is there: the player waits, and its clock with it
  return offset_;
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
