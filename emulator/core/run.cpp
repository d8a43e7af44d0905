// The event loop of the emulated firmware: idle events at a steady rate, keys
// from the front end's key source, the stop event at the end.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/player_internal.h"
#include "core/sandbox.h"

namespace emu {

namespace {

// A TAP that ends must end its downloads too, as a receiver goes on without
// it: the sandbox's wgets still there a second later are named.
void reportLeftDownloads() {
  if (!inSandbox()) return;
  std::vector<SandboxProcess> left;
  for (int i = 0; i < 20; ++i) {
    left = sandboxProcesses("wget");
    if (left.empty()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string pids;
  for (const SandboxProcess& p : left) pids += " " + std::to_string(p.pid);
  console("wget still running a second after the TAP ended:%s", pids.c_str());
}

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

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  auto e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

constexpr std::pair<const char*, uint32_t> kKeyNames[] = {
    {"exit", RKEY_Exit},   {"stop", RKEY_Stop},       {"ok", RKEY_Ok},         {"menu", RKEY_Menu},
    {"up", RKEY_Up},       {"down", RKEY_Down},       {"left", RKEY_Left},     {"right", RKEY_Right},
    {"red", RKEY_Red},     {"green", RKEY_Green},     {"yellow", RKEY_Yellow}, {"blue", RKEY_Blue},
    {"volup", RKEY_VolUp}, {"voldown", RKEY_VolDown}, {"mute", RKEY_Mute}};

}  // namespace

bool parseKey(const std::string& text, uint32_t& code) {
  std::string t = lower(trim(text));
  if (t.size() == 1 && t[0] >= '0' && t[0] <= '9') {
    code = t[0] == '0' ? RKEY_0 : RKEY_1 + static_cast<uint32_t>(t[0] - '1');
    return true;
  }
  for (const auto& [name, value] : kKeyNames)
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

std::string keyName(uint32_t code) {
  for (const auto& [name, value] : kKeyNames)
    if (code == value) return name;
  if (code == RKEY_0) return "0";
  if (code >= RKEY_1 && code <= RKEY_1 + 8) return std::string(1, static_cast<char>('1' + (code - RKEY_1)));
  return "";
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

// A loop held by a hung TAP does not see it; the watchdog does.
void requestStop() { g_stop = 1; }

namespace detail {
bool stopRequested() { return g_stop != 0; }
}  // namespace detail

void wakeRun() {
  {
    std::lock_guard<std::mutex> lock(g_wakeLock);
    g_woken = true;
  }
  g_wakeSignal.notify_one();
}

bool runTap(const RunOptions& options, std::string* error) {
  g_stop = 0;
  detail::setOnHang(options.onHang);
  // While the TAP hangs the loop cannot end the run: the watchdog does, when
  // the run's real time is up (or at once with the virtual clock, whose time
  // stands still while the TAP hangs).
  detail::setRunDeadline(
      options.runTicks && !config().virtualClock ? nowMs() + int64_t{options.runTicks} * 10 + 500 : 0,
      options.runTicks && config().virtualClock);
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
  if (started == 0 && tapCrash().empty() && tapHang().empty())
    console("the TAP's start routine returned 0: the TAP ends");
  auto press = [&](uint32_t code) {
    uint32_t r = sendEvent(EVT_KEY, code, 0);
    if (!tapHang().empty()) return;
    std::string name = keyName(code);
    console("key 0x%X %s%s", code, r == 0 ? "consumed by the TAP" : "passed on to the firmware",
            name.empty() ? "" : (" (" + name + ")").c_str());
    drain();
  };

  const uint32_t start = ticks();
  // Real time of the next idle event; between idle events a front end that
  // looks at the screen gets its turns, and queued keys are pressed at once.
  int64_t nextIdleMs = nowMs();
  bool sourceEnded = false;
  auto takeKeys = [&] {
    if (!options.takeKeys || sourceEnded) return;
    std::vector<uint32_t> queued;
    if (!options.takeKeys(ticks() - start, queued)) sourceEnded = true;
    for (uint32_t code : queued)
      if (tapLoaded()) press(code);
  };
  auto look = [&] {
    if (options.look) options.look(ticks() - start);
  };

  while (tapLoaded() && !g_stop && !sourceEnded) {
    uint32_t now = ticks() - start;
    takeKeys();
    if (sourceEnded) break;
    if (tapLoaded()) sendEvent(EVT_IDLE, 0, 0);
    drain();
    look();
    if (options.runTicks && now >= options.runTicks) break;
    if (config().virtualClock || !options.lookEveryMs) {
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
      waitOrWake(std::min<int64_t>(left, options.lookEveryMs - nowMs() % options.lookEveryMs));
      takeKeys();
      if (sourceEnded || !tapLoaded()) break;
      drain();
      look();
    }
  }
  if (options.atEnd) options.atEnd();
  if (!tapHang().empty()) {
    console("the TAP hung: %s", tapHang().c_str());
  } else if (tapEnded()) {
    if (started != 0 && tapCrash().empty()) {
      console("the TAP has ended itself (TAP_Exit)");
      reportLeftDownloads();
    }
  } else {
    console("stopping the TAP (stop event)");
  }
  unloadTap();
  detail::playerFinishRun();
  drain();
  return true;
}

}  // namespace emu
