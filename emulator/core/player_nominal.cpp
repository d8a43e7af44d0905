// The player of a build without FFmpeg (ORVADO_PLAYER=OFF, the receiver-CPU
// build): every file is played as one with nothing decodable, at a nominal
// byte rate, so the play record still follows the file and its growth and the
// screen shows colour bars. Also the stand-in when the decoder module cannot
// be loaded. Same interface as player_decode.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/player_internal.h"

namespace emu::detail {
namespace {

// About 5 Mbit/s, as the decoding player plays a file it cannot decode.
constexpr uint64_t kBlindBytesPerTick = 33 * 188;
// Like the decoding player, it starts once it has looked at the first 2 MB
// or the file has held its size for a fifth of a second.
constexpr uint64_t kLookBytes = 2000000 + (1 << 20);
constexpr uint32_t kSettledTicks = 20;

class NominalPlayback final : public Playback {
 public:
  NominalPlayback(const std::string& path, uint32_t now, const Options& options);
  ~NominalPlayback() override;
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

}  // namespace

struct NominalPlayback::Impl {
  std::string name, why;
  Options options;
  uint32_t startTick = 0, grewAt = 0, starvedSince = 0, since = 0;
  int fd = -1;
  uint64_t size = 0, played = 0;
  bool started = false, starved = false, ended = false;
  ~Impl() {
    if (fd >= 0) ::close(fd);
  }
};

NominalPlayback::NominalPlayback(const std::string& path, uint32_t now, const Options& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& p = *impl_;
  p.name = path.substr(path.rfind('/') + 1);
  p.options = options;
  p.startTick = p.grewAt = now;
  p.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (p.fd >= 0 && fstat(p.fd, &st) == 0) p.size = static_cast<uint64_t>(st.st_size);
  console("Player: %s: this build has no decoder: it plays without picture or sound", p.name.c_str());
}

NominalPlayback::~NominalPlayback() = default;

bool NominalPlayback::advance(uint32_t now) {
  Impl& p = *impl_;
  if (p.ended) return false;
  if (!lookAtGrowingFile(p.fd, p.size, p.grewAt, now)) {
    p.ended = true;
    p.why = "the file is gone";
    return false;
  }
  if (!p.started) {
    if (p.size < kLookBytes && now - p.grewAt < kSettledTicks) return true;
    p.started = true;
    p.since = now;
  }
  p.played = std::min<uint64_t>(p.size, static_cast<uint64_t>(now - p.since) * kBlindBytesPerTick);
  bool waiting = p.played >= p.size;
  if (waiting && !p.starved) {
    p.starved = true;
    p.starvedSince = now;
  }
  if (waiting && now - std::max(p.grewAt, p.starvedSince) >= p.options.giveUpTicks) {
    p.ended = true;
    p.why = format("the file has not grown for %.0f s", p.options.giveUpTicks / 100.0);
    return false;
  }
  return true;
}

const std::string& NominalPlayback::why() const { return impl_->why; }

uint64_t NominalPlayback::bytesPlayed(uint32_t) const { return std::min(impl_->played, impl_->size); }

uint64_t NominalPlayback::fileBytes() const { return impl_->size; }

bool NominalPlayback::hasPicture() const { return false; }

void NominalPlayback::drawPicture(Image&) {}

void NominalPlayback::fillStatus(PlayerStatus& s) const {
  s.currentBlock = static_cast<uint32_t>(std::min(impl_->played, impl_->size) / 188);
  s.totalBlock = static_cast<uint32_t>(impl_->size / 188);
  s.startTick = impl_->startTick;
}

std::string NominalPlayback::summary() const { return "nothing decoded (no decoder in this build)"; }

std::unique_ptr<Playback> nominalPlayback(const std::string& path, uint32_t now, const Playback::Options& options) {
  return std::make_unique<NominalPlayback>(path, now, options);
}

}  // namespace emu::detail
