// The event loop of the emulated firmware: idle events at a steady rate, keys
// from a script or standard input, the stop event at the end.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "core/player_internal.h"
#include "core/sandbox.h"

namespace emu {
namespace {

volatile std::sig_atomic_t g_stop = 0;

// Wake-ups from front-end threads end the loop's wait early.
std::mutex g_wakeLock;
std::condition_variable g_wakeSignal;
bool g_woken = false;

// Waits up to `ms` real milliseconds, less when wakeRun is called.
void waitOrWake(int64_t ms) {
  std::unique_lock<std::mutex> lock(g_wakeLock);
  if (ms > 0) g_wakeSignal.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_woken; });
  g_woken = false;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Reads whole lines from standard input without blocking.
class StdinKeys {
 public:
  StdinKeys() { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); }
  ~StdinKeys() { fcntl(0, F_SETFL, fcntl(0, F_GETFL) & ~O_NONBLOCK); }
  // False once standard input has closed.
  bool poll(std::vector<std::string>& lines) {
    char buf[256];
    for (;;) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n == 0) return false;
      if (n < 0) return true;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n') {
          lines.push_back(partial_);
          partial_.clear();
        } else if (buf[i] != '\r') {
          partial_ += buf[i];
        }
      }
    }
  }

 private:
  std::string partial_;
};

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  auto e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

bool parseKey(const std::string& text, uint32_t& code) {
  std::string t = lower(trim(text));
  if (t.size() == 1 && t[0] >= '0' && t[0] <= '9') {
    code = t[0] == '0' ? RKEY_0 : RKEY_1 + static_cast<uint32_t>(t[0] - '1');
    return true;
  }
  static const std::pair<const char*, uint32_t> kNames[] = {
      {"exit", RKEY_Exit},   {"stop", RKEY_Stop},       {"ok", RKEY_Ok},         {"menu", RKEY_Menu},
      {"up", RKEY_Up},       {"down", RKEY_Down},       {"left", RKEY_Left},     {"right", RKEY_Right},
      {"red", RKEY_Red},     {"green", RKEY_Green},     {"yellow", RKEY_Yellow}, {"blue", RKEY_Blue},
      {"volup", RKEY_VolUp}, {"voldown", RKEY_VolDown}, {"mute", RKEY_Mute}};
  for (const auto& [name, value] : kNames)
    if (t == name) return (code = value), true;
  if (t.empty() || !std::isdigit(static_cast<unsigned char>(t[0]))) return false;
  char* end = nullptr;
  // strtoull: on a 32-bit machine strtoul saturates at 0xFFFFFFFF, which
  // would let an overlong number pass as the largest key code.
  unsigned long long v = std::strtoull(t.c_str(), &end, 0);
  if (*end || v > 0xFFFFFFFFull) return false;
  code = static_cast<uint32_t>(v);
  return true;
}

bool parseTicks(const std::string& text, uint32_t& ticks) {
  std::string t = lower(trim(text));
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  // Written so that "nan" fails too: a NaN passes neither comparison.
  if (end == t.c_str() || !(v >= 0 && v <= 4e7)) return false;
  std::string unit = end;
  if (unit == "s")
    v *= 100;
  else if (unit == "ms")
    v /= 10;
  else if (unit != "t")
    return false;
  ticks = static_cast<uint32_t>(std::llround(v));
  return true;
}

void requestStop() { g_stop = 1; }

void wakeRun() {
  {
    std::lock_guard<std::mutex> lock(g_wakeLock);
    g_woken = true;
  }
  g_wakeSignal.notify_one();
}

bool runTap(const RunOptions& options, std::string* error) {
  g_stop = 0;
  if (!loadTap(options.tapPath, error)) return false;
  TapHeader header;
  if (readTapHeader(options.tapPath, header, nullptr))
    console("loaded %s: %s (\"%s\", id 0x%08X, by %s, built %s)", options.tapPath.c_str(), header.programName.c_str(),
            header.description.c_str(), header.id, header.author.c_str(), header.buildDate.c_str());
  auto drain = [&] {
    if (options.consoleMaster >= 0)
      drainConsole(options.consoleMaster, [&](const std::string& line) {
        if (options.onConsole) options.onConsole(line);
      });
  };
  int started = startTap();
  drain();
  if (started == 0) console("the TAP's start routine returned 0: the TAP ends");
  auto press = [&](uint32_t code) {
    uint32_t r = sendEvent(EVT_KEY, code, 0);
    console("key 0x%X %s", code, r == 0 ? "consumed by the TAP" : "passed on to the firmware");
    drain();
  };

  std::vector<ScriptedKey> keys = options.keys;
  std::stable_sort(keys.begin(), keys.end(), [](auto& a, auto& b) { return a.atTick < b.atTick; });
  size_t nextKey = 0;
  const uint32_t start = ticks();
  std::vector<RunOptions::Shot> shots = options.shots;
  if (!options.screenshot.empty()) shots.push_back({options.screenshotAtTick, options.screenshot});
  std::stable_sort(shots.begin(), shots.end(), [](auto& a, auto& b) { return a.atTick < b.atTick; });
  size_t nextShot = 0;
  bool stdinOpen = options.keysFromStdin;
  std::unique_ptr<StdinKeys> input;
  if (options.keysFromStdin) input = std::make_unique<StdinKeys>();
  std::string shotError;
  // Takes every screenshot that is due by `now`.
  auto takeShots = [&](uint32_t now) {
    for (; nextShot < shots.size() && shots[nextShot].atTick <= now; ++nextShot) {
      std::string why;
      if (savePng(screen(), shots[nextShot].path, &why))
        console("screenshot saved to %s", shots[nextShot].path.c_str());
      else if (shotError.empty())
        shotError = why;
    }
  };

  // Real time of the next idle event; between idle events a front end that
  // looks at the screen gets its turns, and queued keys are pressed at once.
  int64_t nextIdleMs = nowMs();
  bool frontEndStop = false;
  auto takeFrontEndKeys = [&] {
    if (!options.takeKeys) return;
    std::vector<uint32_t> queued;
    if (!options.takeKeys(queued)) frontEndStop = true;
    for (uint32_t code : queued)
      if (tapLoaded()) press(code);
  };

  while (tapLoaded() && !g_stop && !frontEndStop) {
    uint32_t now = ticks() - start;
    while (nextKey < keys.size() && keys[nextKey].atTick <= now && tapLoaded()) {
      press(keys[nextKey].code);
      ++nextKey;
    }
    takeFrontEndKeys();
    if (frontEndStop) break;
    if (input) {
      std::vector<std::string> lines;
      stdinOpen = input->poll(lines);
      for (const auto& line : lines) {
        uint32_t code;
        if (trim(line).empty()) continue;
        if (lower(trim(line)) == "quit")
          stdinOpen = false;
        else if (parseKey(line, code))
          press(code);
        else
          console("unknown key \"%s\" (use 0-9, exit, ok, menu, the arrows, the colours, stop, quit or a key code)",
                  line.c_str());
      }
    }
    takeShots(now);
    if (tapLoaded()) sendEvent(EVT_IDLE, 0, 0);
    drain();
    if (options.look) options.look();
    if (options.runTicks && now >= options.runTicks) break;
    if (options.keysFromStdin && !stdinOpen) break;
    if (config().virtualClock || (!options.takeKeys && !options.lookEveryMs)) {
      detail::waitTicks(options.idleEveryTicks);
      continue;
    }
    nextIdleMs =
        std::max(nextIdleMs + int64_t{options.idleEveryTicks} * 10, nowMs() - int64_t{options.idleEveryTicks} * 10);
    for (;;) {
      int64_t left = nextIdleMs - nowMs();
      if (left <= 0 || g_stop) break;
      // Looks fall on a steady grid, so a front end that takes one picture
      // per period gets every period.
      waitOrWake(options.lookEveryMs ? std::min<int64_t>(left, options.lookEveryMs - nowMs() % options.lookEveryMs)
                                     : left);
      takeFrontEndKeys();
      if (frontEndStop || !tapLoaded()) break;
      drain();
      if (options.look) options.look();
    }
  }
  takeShots(UINT32_MAX);
  if (tapEnded()) {
    if (started != 0) console("the TAP has ended itself (TAP_Exit)");
  } else {
    console("stopping the TAP (stop event)");
  }
  unloadTap();
  detail::playerFinishRun();
  drain();
  if (!shotError.empty()) {
    if (error) *error = shotError;
    return false;
  }
  return true;
}

}  // namespace emu
