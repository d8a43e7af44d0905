// Private to the web front end: the hub that the emulator's thread and the
// HTTP threads share, the request guard, image encoders and the page.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/web.h"

namespace emu::web {

// One screen as the page sees it. Immutable once published; its JPEG is made
// on first demand by whichever HTTP thread needs it.
struct Frame {
  uint64_t seq = 0;   // 1, 2, ... in order of publication
  uint64_t keys = 0;  // keys the TAP had been given when it was taken
  // The newest key taken shortly before this frame (Hub::kKeyEffectMs), whose
  // effect it may show; 0 for none. The page's meter counts only such keys.
  uint64_t keyEffect = 0;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // ARGB
  // When the player's picture in it is due on the emulator's clock (ms), -1
  // when there is none: the page lines the sound up with it.
  int64_t pictureDueMs = -1;
  std::once_flag jpegOnce;
  std::string jpeg;
};

// A piece of the player's sound: 16-bit stereo PCM at 48 kHz.
struct AudioChunk {
  uint64_t seq = 0;
  int64_t dueMs = 0;  // when its first frame is due on the emulator's clock
  std::string pcm;
};

// What the emulator's thread publishes and what the HTTP threads ask for.
// The emulator's thread never waits for an HTTP thread: it only takes the
// lock for short copies.
class Hub {
 public:
  static constexpr size_t kMaxQueuedKeys = 64;
  static constexpr size_t kConsoleKept = 2000;
  static constexpr size_t kShellShown = 12;
  static constexpr int kFrameEveryMs = 40;  // 25 frames a second at most
  // A frame later than this after a key shows something else than the key's
  // effect (a timed message, the next pipeline step): three idle events.
  static constexpr int kKeyEffectMs = 300;

  // ---- the emulator's thread ----
  // Hands over the queued keys; false once a stop or restart was asked for.
  bool takeKeys(std::vector<uint32_t>& keys);
  // Takes the screen when it changed (at most every kFrameEveryMs, unless
  // `now`) and the play state and status column (at most every 200 ms,
  // unless `now`).
  void look(bool now = false);
  void consoleLine(const std::string& line);
  // Keeps a piece of decoded sound for the listening pages; nothing while
  // none listens.
  void audio(const int16_t* samples, size_t frames, int64_t dueMs);
  // The TAP's state ("running", "hangs", "hung", "ended", "stopped",
  // "crashed", "failed") and what to do next. Safe from any thread (the
  // watchdog's reports "hangs").
  void setTapState(const std::string& state, const std::string& detail = "");
  // Waits until a restart is asked for (true) or quit (false).
  bool waitForRestart();
  bool restartAsked();
  bool stopPending();

  // ---- HTTP threads ----
  // Queues a key; returns its number (1, 2, ...), 0 when the queue is full,
  // kNoTap when no TAP runs.
  static constexpr uint64_t kNoTap = UINT64_MAX;
  uint64_t queueKey(uint32_t code);
  // Asks the TAP to stop; false when none runs. A TAP that hangs is ended
  // by the watchdog.
  bool askStop();
  void askRestart();
  // The newest frame after `after`, waiting up to `wait` for one; null when
  // none came or the front end is closing.
  std::shared_ptr<Frame> frameAfter(uint64_t after, std::chrono::milliseconds wait);
  std::shared_ptr<Frame> latestFrame();
  // The state as JSON, with the console lines from number `since` on.
  std::string stateJson(uint64_t since);
  // The sound after chunk `after`, waiting up to `wait` for some; empty when
  // none came or the front end is closing.
  std::vector<std::shared_ptr<AudioChunk>> audioAfter(uint64_t after, std::chrono::milliseconds wait);
  // A page starts or stops listening.
  void listen(bool on);
  // Registers a stream; it should end once streamEvicted(id) says so.
  uint64_t openStream();
  bool streamEvicted(uint64_t id);

  // ---- both ----
  void quit();
  bool quitting() const { return quit_.load(); }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::atomic<bool> quit_{false};

  // keys
  std::vector<uint32_t> queued_;
  uint64_t keysQueued_ = 0, keysTaken_ = 0;
  std::deque<std::pair<uint64_t, int64_t>> keysTakenAt_;  // key number, when (the emulator's thread)
  bool stopAsked_ = false, restartAsked_ = false;

  // screen (lastLookChanges_ and lastFramePeriod_ belong to the emulator's thread)
  std::shared_ptr<Frame> latest_;
  uint64_t lastLookChanges_ = UINT64_MAX;
  int64_t lastFramePeriod_ = -1;
  std::deque<int64_t> frameTimes_;  // last second's publications

  // state
  std::string tapState_ = "starting", tapDetail_;
  PlayerStatus play_;
  std::vector<ShellCommand> shell_;  // the last commands, newest last
  std::vector<std::string> status_;  // the TAP's status column, oldest first
  int64_t lastPlayMs_ = 0;
  std::deque<std::string> console_;
  uint64_t consoleFirst_ = 0;  // number of console_.front()

  uint64_t streams_ = 0;

  // sound (kept for half a second)
  std::atomic<int> listeners_{0};
  std::deque<std::shared_ptr<AudioChunk>> audio_;
  uint64_t audioSeq_ = 0;
};

// Whether a request may be served: its Host names this front end (an address
// literal with its port, or localhost), and its Origin, when it has one, is
// this page. Names other than localhost are refused, so a web site whose name
// is made to point at 127.0.0.1 cannot reach the receiver. `boundHost` is the
// listening address; a wildcard one (0.0.0.0, ::) accepts any address
// literal.
bool hostAllowed(const std::string& host, const std::string& boundHost, int port);
bool originAllowed(const std::string& origin, const std::string& boundHost, int port);

// JPEG (libjpeg-turbo) and PNG (libpng) of ARGB pixels; empty on failure.
std::string encodeJpeg(const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height, int quality);
std::string encodePng(const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height);

// A JSON string literal of `text`, quotes included.
std::string jsonString(const std::string& text);

// The page, built into the program.
extern const char* const kPageHtml;
extern const char* const kPageCss;
extern const char* const kPageJs;

}  // namespace emu::web
