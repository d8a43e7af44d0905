// The player of a build without FFmpeg (ORVADO_PLAYER=OFF, the receiver-CPU
// build): every file is played as one with nothing decodable, at the pace of
// its own clock (ClockedPlay), so the play record still follows the file and its growth and the
// screen shows colour bars. Also the stand-in when the decoder module cannot
// be loaded. Same interface as player_decode.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/player_internal.h"

namespace emu::detail {
namespace {

class NominalPlayback final : public Playback {
 public:
  NominalPlayback(const std::string& path, uint32_t now, const Options& options);
  ~NominalPlayback() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool advance(uint32_t now) override;
  const std::string& why() const override { return why_; }
  uint64_t bytesPlayed(uint32_t) const override { return std::min(played_, size_); }
  uint64_t fileBytes() const override { return size_; }
  bool hasPicture() const override { return false; }
  void drawPicture(Image&) override {}
  void fillStatus(PlayerStatus& status) const override;
  std::string summary() const override { return "nothing decoded (no decoder in this build)"; }

 private:
  std::string name_, why_;
  Options options_;
  uint32_t startTick_ = 0, grewAt_ = 0, starvedSince_ = 0, since_ = 0;
  int fd_ = -1;
  uint64_t size_ = 0, played_ = 0;
  bool started_ = false, starved_ = false, ended_ = false;
  ClockedPlay clock_;
};

NominalPlayback::NominalPlayback(const std::string& path, uint32_t now, const Options& options)
    : name_(path.substr(path.rfind('/') + 1)), options_(options), startTick_(now), grewAt_(now) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ >= 0 && fstat(fd_, &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
  console("Player: %s: this build has no decoder: it plays without picture or sound", name_.c_str());
}

bool NominalPlayback::advance(uint32_t now) {
  if (ended_) return false;
  if (!lookAtGrowingFile(fd_, size_, grewAt_, now)) {
    ended_ = true;
    why_ = "the file is gone";
    return false;
  }
  if (!started_) {
    if (!readyToStart(size_, grewAt_, now)) return true;
    started_ = true;
    since_ = now;
  }
  played_ = clock_.played(fd_, size_, since_, now);
  bool waiting = played_ >= size_;
  if (waiting && !starved_) {
    starved_ = true;
    starvedSince_ = now;
  }
  if (waiting && waitedTooLong(now, grewAt_, starvedSince_, options_.giveUpTicks, why_)) {
    ended_ = true;
    return false;
  }
  return true;
}

void NominalPlayback::fillStatus(PlayerStatus& s) const {
  s.currentBlock = static_cast<uint32_t>(std::min(played_, size_) / 188);
  s.totalBlock = static_cast<uint32_t>(size_ / 188);
  s.startTick = startTick_;
}

}  // namespace

std::unique_ptr<Playback> nominalPlayback(const std::string& path, uint32_t now, const Playback::Options& options) {
  return std::make_unique<NominalPlayback>(path, now, options);
}

}  // namespace emu::detail
