// The watchdog: a call into the TAP that does not return within
// Config::watchdogMs is reported on the console with the TAP's stack, and
// ended when the run is over (its time is up, Ctrl-C, the page's Stop), so a
// TAP that loops for ever cannot hold the emulator.
#include <cxxabi.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/internal.h"

namespace emu {
namespace detail {
namespace {

using Symbols = std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>>;

int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The call in progress, written by the loop's thread without a lock (10
// times a second). 32-bit atomics only: MIPS32 has no 64-bit ones without
// libatomic. Times are the low 32 bits of steadyMs(); their differences
// hold for 49 days.
std::atomic<int> g_call{0};  // TapCall
std::atomic<uint32_t> g_event{0}, g_param{0};
std::atomic<uint32_t> g_startMs{0};
std::atomic<uint32_t> g_callSeq{0};
std::atomic<pthread_t> g_caller{};
std::atomic<uint32_t> g_limitMs{0};

std::atomic<bool> g_endWhenHung{false};
std::atomic<bool> g_leaveAsked{false};

std::mutex g_lock;  // the rest
std::condition_variable g_wake;
int64_t g_deadlineMs = 0;
pid_t g_threadOf = 0;  // the process whose watchdog thread runs
uint32_t g_reportedSeq = 0;
std::string g_hang;
std::function<void(const std::string&)> g_onHang;
std::string g_name, g_file, g_loadedAs;
Symbols g_symbols;  // offset -> (size, name), sorted

std::string demangled(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !text) return name;
  std::string out = text;
  std::free(text);
  return out;
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One frame as "name+0xOFF (file)".
std::string frameText(void* address, bool exact, bool& inTap, bool& inCore) {
  uintptr_t at = reinterpret_cast<uintptr_t>(address) - (exact ? 0 : 1);
  Dl_info info{};
  inTap = inCore = false;
  if (!dladdr(reinterpret_cast<void*>(at), &info) || !info.dli_fname) return format("%p", address);
  std::string file = info.dli_fname;
  uint64_t offset = at - reinterpret_cast<uintptr_t>(info.dli_fbase);
  std::string name;
  uint64_t from = 0;
  if (file == g_loadedAs) {
    inTap = true;
    file = g_file;
    auto it = std::upper_bound(g_symbols.begin(), g_symbols.end(), offset,
                               [](uint64_t off, const auto& sym) { return off < sym.first; });
    if (it != g_symbols.begin() && offset < std::prev(it)->first + std::max<uint64_t>(std::prev(it)->second.first, 1)) {
      name = std::prev(it)->second.second;
      from = std::prev(it)->first;
    }
  }
  inCore = file.find("libtmsemu") != std::string::npos;
  if (name.empty() && info.dli_sname) {
    name = info.dli_sname;
    from = reinterpret_cast<uintptr_t>(info.dli_saddr) - reinterpret_cast<uintptr_t>(info.dli_fbase);
  }
  if (name.empty()) return format("0x%llx (%s)", static_cast<unsigned long long>(offset), baseName(file).c_str());
  // The offset of the address itself (a return address for the callers).
  return format("%s+0x%llx (%s)", demangled(name).c_str(),
                static_cast<unsigned long long>(offset + (exact ? 0 : 1) - from), baseName(file).c_str());
}

// The TAP's part of the stack: from the interrupted frame (exact, the rest
// are return addresses) up to the emulator's call into the TAP.
std::vector<std::string> stackLines(const std::vector<void*>& stack) {
  std::vector<std::string> lines;
  bool seenTap = false;
  for (size_t i = 0; i < stack.size() && lines.size() < 16; ++i) {
    bool inTap = false, inCore = false;
    std::string text = frameText(stack[i], i == 0, inTap, inCore);
    if (seenTap && inCore) break;  // the emulator's call into the TAP
    seenTap = seenTap || inTap;
    lines.push_back(format("#%zu %s", lines.size(), text.c_str()));
  }
  return lines;
}

std::string callText(int call, uint32_t event, uint32_t param) {
  switch (static_cast<TapCall>(call)) {
    case TapCall::init: return "__TAP_Init_";
    case TapCall::main: return "its start routine (TAP_Main)";
    case TapCall::event:
      return format("its event handler (event 0x%X, 0x%X%s)", event, param,
                    event == EVT_IDLE   ? ": idle"
                    : event == EVT_KEY  ? (", key " + keyName(param)).c_str()
                    : event == EVT_STOP ? ": stop"
                                        : "");
    case TapCall::none: break;
  }
  return "a call";
}

void watch() {
  uint32_t leavingSeq = 0;
  int64_t leftAt = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(g_lock);
      g_wake.wait_for(guard, std::chrono::milliseconds(100));
    }
    int call = g_call.load();
    uint32_t seq = g_callSeq.load();
    uint32_t limit = g_limitMs.load();
    if (!call || !limit) continue;
    int64_t now = steadyMs(), elapsed = static_cast<uint32_t>(static_cast<uint32_t>(now) - g_startMs.load());
    bool reported;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      reported = g_reportedSeq == seq;
    }
    if (!reported && elapsed >= limit) {
      std::vector<void*> stack = hungStack(g_caller.load());
      std::string why, name;
      std::vector<std::string> lines;
      std::function<void(const std::string&)> onHang;
      {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_callSeq.load() != seq || !g_call.load()) continue;  // it returned meanwhile
        g_reportedSeq = seq;
        why = callText(call, g_event.load(), g_param.load());
        name = g_name.empty() ? baseName(g_file) : g_name + " (" + baseName(g_file) + ")";
        g_hang = format("%s has not returned from %s for %.1f s", name.c_str(), why.c_str(), double(elapsed) / 1000);
        lines = stackLines(stack);
        onHang = g_onHang;
      }
      consoleFromAnyThread("the TAP hangs: " + g_hang);
      if (lines.empty()) consoleFromAnyThread("  (its stack cannot be had)");
      for (const std::string& line : lines) consoleFromAnyThread("  " + line);
      if (onHang) onHang(g_hang);
      reported = true;
    }
    if (!reported) continue;
    int64_t deadline;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      deadline = g_deadlineMs;
    }
    bool end = g_leaveAsked.load() || stopRequested() || g_endWhenHung.load() || (deadline && now >= deadline);
    if (end && leavingSeq != seq) {
      leavingSeq = seq;
      leftAt = now;
      consoleFromAnyThread("the hung TAP is ended where it stands; it gets no more events");
      leaveHungCall(g_caller.load());
    } else if (leavingSeq == seq && now - leftAt > 3000) {
      // The call holds something (a lock of the C library?) that keeps it
      // from coming back: the emulator ends here.
      std::fprintf(stderr, "orvado-emu: the hung TAP cannot be ended; the emulator ends\n");
      std::fflush(nullptr);
      _exit(1);
    }
  }
}

void ensureThread() {
  std::lock_guard<std::mutex> guard(g_lock);
  // A forked child (a test's fresh process) has no watchdog of its own yet.
  if (g_threadOf == getpid()) return;
  g_threadOf = getpid();
  std::thread(watch).detach();
}

}  // namespace

void callBegins(TapCall call, uint32_t event, uint32_t param1) {
  uint32_t limit = config().watchdogMs;
  g_limitMs.store(limit);
  if (!limit) return;
  ensureThread();
  g_caller.store(pthread_self());
  g_event.store(event);
  g_param.store(param1);
  g_startMs.store(static_cast<uint32_t>(steadyMs()));
  g_callSeq.fetch_add(1);
  g_call.store(static_cast<int>(call));
}

void callEnds(bool returned) {
  int call = g_call.exchange(0);
  if (!call) return;
  uint32_t seq = g_callSeq.load();
  bool reported;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    reported = g_reportedSeq == seq;
  }
  takeOtherThreadsLines();
  if (!reported || !returned) return;
  console("the TAP has returned from %s after %.1f s", callText(call, g_event.load(), g_param.load()).c_str(),
          double(static_cast<uint32_t>(static_cast<uint32_t>(steadyMs()) - g_startMs.load())) / 1000);
  std::function<void(const std::string&)> onHang;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_hang.clear();
    onHang = g_onHang;
  }
  if (onHang) onHang("");
}

void setRunDeadline(int64_t steadyDeadlineMs, bool endWhenHung) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_deadlineMs = steadyDeadlineMs;
  }
  g_endWhenHung.store(endWhenHung);
}

void setOnHang(std::function<void(const std::string&)> onHang) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_onHang = std::move(onHang);
}

void setTapIdentity(const std::string& name, const std::string& file, const std::string& loadedAs,
                    std::vector<std::pair<uint64_t, std::pair<uint64_t, std::string>>> symbols) {
  std::sort(symbols.begin(), symbols.end());
  std::lock_guard<std::mutex> guard(g_lock);
  g_name = name;
  g_file = file;
  g_loadedAs = loadedAs;
  g_symbols = std::move(symbols);
  g_hang.clear();
  g_leaveAsked.store(false);
}

}  // namespace detail

std::string tapHang() {
  std::lock_guard<std::mutex> guard(detail::g_lock);
  return detail::g_hang;
}

void stopHungTap() {
  detail::g_leaveAsked.store(true);
  detail::g_wake.notify_all();
}

}  // namespace emu
