// The hub between the emulator's thread and the HTTP threads.
#include <algorithm>

#include "emulator/core/sandbox.h"
#include "web/internal.h"

namespace emu::web {
namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool Hub::takeKeys(std::vector<uint32_t>& keys) {
  std::lock_guard<std::mutex> guard(lock_);
  keys.insert(keys.end(), queued_.begin(), queued_.end());
  keysTaken_ += queued_.size();
  if (!queued_.empty()) keysTakenAt_.emplace_back(keysTaken_, nowMs());
  queued_.clear();
  return !stopAsked_ && !restartAsked_ && !quit_;
}

void Hub::look(bool force) {
  int64_t now = nowMs();
  uint64_t changes = screenChanges();
  // One frame at most in each period of the steady clock's grid.
  int64_t period = now / kFrameEveryMs;
  while (!keysTakenAt_.empty() && keysTakenAt_.front().second < now - kKeyEffectMs) keysTakenAt_.pop_front();
  if (force || (changes != lastLookChanges_ && period != lastFramePeriod_)) {
    lastLookChanges_ = changes;
    int64_t due = playerStatus().pictureDueMs;
    Image image = screen();
    std::shared_ptr<Frame> previous = latestFrame();
    if (!previous || previous->pixels != image.pixels) {
      auto frame = std::make_shared<Frame>();
      frame->width = image.width;
      frame->height = image.height;
      frame->pictureDueMs = due;
      frame->pixels = std::move(image.pixels);
      lastFramePeriod_ = period;
      {
        std::lock_guard<std::mutex> guard(lock_);
        frame->seq = (latest_ ? latest_->seq : 0) + 1;
        frame->keys = keysTaken_;
        frame->keyEffect = keysTakenAt_.empty() ? 0 : keysTakenAt_.back().first;
        keysTakenAt_.clear();  // one frame shows a key's effect
        latest_ = std::move(frame);
        frameTimes_.push_back(now);
        while (!frameTimes_.empty() && frameTimes_.front() <= now - 1000) frameTimes_.pop_front();
      }
      changed_.notify_all();
    }
  }
  if (force || now - lastPlayMs_ >= 200) {
    lastPlayMs_ = now;
    PlayerStatus play = playerStatus();
    std::vector<ShellCommand> shell = shellCommands();
    if (shell.size() > kShellShown) shell.erase(shell.begin(), shell.end() - kShellShown);
    std::vector<std::string> status = statusTexts();
    std::lock_guard<std::mutex> guard(lock_);
    play_ = std::move(play);
    shell_ = std::move(shell);
    status_ = std::move(status);
  }
}

void Hub::consoleLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(lock_);
  console_.push_back(line);
  if (console_.size() > kConsoleKept) {
    console_.pop_front();
    ++consoleFirst_;
  }
}

void Hub::setTapState(const std::string& state, const std::string& detail) {
  std::lock_guard<std::mutex> guard(lock_);
  tapState_ = state;
  tapDetail_ = detail;
}

bool Hub::waitForRestart() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, std::chrono::milliseconds(100), [&] { return restartAsked_ || quit_; });
  return restartAsked_ && !quit_;
}

bool Hub::restartAsked() {
  std::lock_guard<std::mutex> guard(lock_);
  bool asked = restartAsked_;
  restartAsked_ = false;
  stopAsked_ = false;
  queued_.clear();  // keys meant for the TAP that ended
  return asked;
}

bool Hub::stopPending() {
  std::lock_guard<std::mutex> guard(lock_);
  return stopAsked_ || restartAsked_;
}

uint64_t Hub::queueKey(uint32_t code) {
  uint64_t number;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (tapState_ != "running") return kNoTap;
    if (queued_.size() >= kMaxQueuedKeys) return 0;
    queued_.push_back(code);
    number = ++keysQueued_;
  }
  wakeRun();
  return number;
}

bool Hub::askStop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (tapState_ != "running" && tapState_ != "hangs") return false;
    stopAsked_ = true;
    // A hung TAP holds the loop's thread: the watchdog ends its call.
    if (tapState_ == "hangs") stopHungTap();
  }
  wakeRun();
  return true;
}

void Hub::askRestart() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    restartAsked_ = true;
    if (tapState_ == "hangs") stopHungTap();
  }
  changed_.notify_all();
  wakeRun();
}

std::shared_ptr<Frame> Hub::frameAfter(uint64_t after, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, wait, [&] { return quit_ || (latest_ && latest_->seq > after); });
  if (quit_ || !latest_ || latest_->seq <= after) return nullptr;
  return latest_;
}

std::shared_ptr<Frame> Hub::latestFrame() {
  std::lock_guard<std::mutex> guard(lock_);
  return latest_;
}

std::string Hub::stateJson(uint64_t since) {
  // The processes are read outside the lock: /proc may be slow.
  std::vector<SandboxProcess> downloads = sandboxProcesses("wget");
  std::lock_guard<std::mutex> guard(lock_);
  int64_t now = nowMs();
  size_t fps = static_cast<size_t>(
      std::count_if(frameTimes_.begin(), frameTimes_.end(), [&](int64_t t) { return t > now - 1000; }));
  std::string out = "{\"tap\":" + jsonString(tapState_) + ",\"tapDetail\":" + jsonString(tapDetail_);
  out += ",\"frame\":" + std::to_string(latest_ ? latest_->seq : 0) + ",\"fps\":" + std::to_string(fps);
  out += ",\"keys\":" + std::to_string(keysTaken_);
  std::string codec = play_.videoCodec;
  if (!codec.empty() && play_.width) codec += " " + std::to_string(play_.width) + "x" + std::to_string(play_.height);
  if (!play_.audioCodec.empty())
    codec += (codec.empty() ? "" : ", ") + play_.audioCodec +
             (play_.sampleRate ? " " + std::to_string(play_.sampleRate) + " Hz" : std::string());
  out += ",\"play\":{\"playing\":" + std::string(play_.playing ? "true" : "false") +
         ",\"file\":" + jsonString(play_.file) + ",\"position\":" + std::to_string(uint64_t{play_.currentBlock} * 188) +
         ",\"size\":" + std::to_string(uint64_t{play_.totalBlock} * 188) + ",\"codec\":" + jsonString(codec) +
         ",\"pictures\":" + std::to_string(play_.pictures) + "}";
  out += ",\"downloads\":[";
  for (size_t i = 0; i < downloads.size(); ++i) {
    const SandboxProcess& p = downloads[i];
    std::string url;
    for (const std::string& a : p.args)
      if (a.find("://") != std::string::npos) url = a;
    out += (i ? "," : "") + std::string("{\"pid\":") + std::to_string(p.pid) + ",\"url\":" + jsonString(url) +
           ",\"files\":[";
    for (size_t f = 0; f < p.files.size(); ++f)
      out += (f ? "," : "") + std::string("{\"name\":") + jsonString(p.files[f].first) +
             ",\"size\":" + std::to_string(p.files[f].second) + "}";
    out += "]}";
  }
  out += "],\"shell\":[";
  for (size_t i = 0; i < shell_.size(); ++i) {
    const ShellCommand& c = shell_[i];
    out += (i ? "," : "") + std::string("{\"number\":") + std::to_string(c.number) + ",\"kind\":" + jsonString(c.kind) +
           ",\"command\":" + jsonString(c.command) + ",\"done\":" + (c.done ? "true" : "false") +
           ",\"ok\":" + (c.done && c.status == 0 ? "true" : "false") + ",\"result\":" + jsonString(c.result) +
           ",\"seconds\":" + std::to_string(c.seconds) + ",\"errorTail\":" + jsonString(c.errorTail) + "}";
  }
  out += "],\"status\":[";
  for (size_t i = 0; i < status_.size(); ++i) out += (i ? "," : "") + jsonString(status_[i]);
  out += "],\"console\":{\"first\":" + std::to_string(consoleFirst_) +
         ",\"next\":" + std::to_string(consoleFirst_ + console_.size()) + ",\"lines\":[";
  uint64_t from = std::max(since, consoleFirst_);
  for (uint64_t n = from; n < consoleFirst_ + console_.size(); ++n)
    out += (n > from ? "," : "") + jsonString(console_[n - consoleFirst_]);
  out += "]}}";
  return out;
}

void Hub::audio(const int16_t* samples, size_t frames, int64_t dueMs) {
  if (listeners_.load() == 0) return;
  auto chunk = std::make_shared<AudioChunk>();
  chunk->dueMs = dueMs;
  chunk->pcm.assign(reinterpret_cast<const char*>(samples), frames * 4);
  {
    std::lock_guard<std::mutex> guard(lock_);
    chunk->seq = ++audioSeq_;
    audio_.push_back(std::move(chunk));
    while (!audio_.empty() && audio_.front()->dueMs < dueMs - 500) audio_.pop_front();
  }
  changed_.notify_all();
}

std::vector<std::shared_ptr<AudioChunk>> Hub::audioAfter(uint64_t after, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, wait, [&] { return quit_ || audioSeq_ > after; });
  std::vector<std::shared_ptr<AudioChunk>> out;
  if (quit_) return out;
  for (const auto& chunk : audio_)
    if (chunk->seq > after) out.push_back(chunk);
  return out;
}

void Hub::listen(bool on) { listeners_ += on ? 1 : -1; }

uint64_t Hub::openStream() {
  std::lock_guard<std::mutex> guard(lock_);
  return ++streams_;
}

// A reloaded page leaves its old stream behind until a write to it fails,
// which may be long while the screen stands still; the newest four live on.
bool Hub::streamEvicted(uint64_t id) {
  std::lock_guard<std::mutex> guard(lock_);
  return quit_ || streams_ - id >= 4;
}

void Hub::quit() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    quit_ = true;
  }
  changed_.notify_all();
  wakeRun();
}

}  // namespace emu::web
