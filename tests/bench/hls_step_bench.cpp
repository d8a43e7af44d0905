// The cost of the download pipeline that a user feels, on a live stream of
// the local HLS test source at 4 Mbit/s with 2-second segments:
//
//   hls_step_bench [SECONDS]        the longest time one pipeline step holds
//       up event delivery, against the time of that step's own synchronous
//       wget calls alone (a wrapper in the sandbox's /usr/bin times each).
//   valgrind --tool=callgrind --collect-atstart=no hls_step_bench --callgrind N
//       the handler's instructions for N idle events in the channel menu
//       (first dump) and N between steps while a channel streams (second
//       dump); divide each count by N.
//
// Runs in a sandbox of its own, as the tests do.
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/orvado.h"
#include "emulator/core/sandbox.h"
#include "support/hls_server.h"
#include "support/testing.h"

using namespace orvado_test;
using Clock = std::chrono::steady_clock;

namespace {

const char* kTimes = "/tmp/wget-times";

// Every wget call of the TAP goes through this wrapper, which notes its start,
// end (in ns) and whether its error output is a chunk log (a background job).
void wrapWget() {
  std::system("mv /usr/bin/wget /usr/bin/wget.real");
  writeFile("/usr/bin/wget",
            "#!/bin/sh\ns=$(date +%s%N)\n/usr/bin/wget.real \"$@\"\nrc=$?\n"
            "echo \"$s $(date +%s%N) $(readlink /proc/$$/fd/2)\" >> " +
                std::string(kTimes) + "\nexit $rc\n");
  std::system("chmod 755 /usr/bin/wget");
}

struct Call {
  double start, end;  // seconds since the epoch
  bool background;
};

std::vector<Call> wgetCalls() {
  std::vector<Call> calls;
  std::ifstream in(kTimes);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    long long s = 0, e = 0;
    std::string err;
    fields >> s >> e >> err;
    calls.push_back(
        {static_cast<double>(s) / 1e9, static_cast<double>(e) / 1e9, err.find(".lok") != std::string::npos});
  }
  return calls;
}

double epochNow() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

int startTap(HlsServer& server, bool virtualClock) {
  emu::Config config;
  config.virtualClock = virtualClock;
  std::string error;
  if (!emu::reset(config, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  writeFile("/mnt/hd/ProgramFiles/Settings/orvado/orvado.ini", "tvname1=Live\ntvPL1=" + server.url() + "index.m3u8\n");
  return TAP_Main() == 1 ? 0 : 1;
}

int measureSteps(double seconds) {
  wrapWget();
  HlsServer server({"--mode", "live", "--segment-bytes", "1000000", "--bandwidths", "800000,4000000", "--stop-after",
                    std::to_string(seconds + 30)});
  if (startTap(server, false) != 0) return 1;
  TAP_EventHandler(EVT_KEY, RKEY_1, 0);
  struct Step {
    double start, end;
  };
  std::vector<Step> steps;
  auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < until) {
    uint32_t due = _Streamtick;
    double start = epochNow();
    TAP_EventHandler(EVT_IDLE, 0, 0);
    double end = epochNow();
    if (_Streamtick != due) steps.push_back({start, end});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  TAP_EventHandler(EVT_STOP, 0, 0);
  std::vector<Call> calls = wgetCalls();
  double worst = 0, worstWget = 0, sumSteps = 0, sumWget = 0;
  for (const Step& s : steps) {
    double own = 0;
    for (const Call& c : calls)
      if (!c.background && c.start >= s.start && c.end <= s.end) own += c.end - c.start;
    sumSteps += s.end - s.start;
    sumWget += own;
    if (s.end - s.start > worst) worst = s.end - s.start, worstWget = own;
  }
  std::printf("pipeline steps: %zu in %.0f s, player %s\n", steps.size(), seconds,
              emu::playing() ? "started" : "not started");
  std::printf("longest step holds events %.0f ms; its own wget calls alone %.0f ms; ratio %.2fx (goal: near 1x)\n",
              worst * 1e3, worstWget * 1e3, worstWget > 0 ? worst / worstWget : 0.0);
  std::printf("all steps: %.0f ms, their own wget calls %.0f ms; the rest %.1f ms per step\n", sumSteps * 1e3,
              sumWget * 1e3, steps.empty() ? 0.0 : (sumSteps - sumWget) * 1e3 / static_cast<double>(steps.size()));
  return 0;
}

int countIdleInstructions(int events) {
  HlsServer server({"--mode", "live", "--clock", "manual", "--segment-bytes", "100000", "--stop-after", "300"});
  if (startTap(server, true) != 0) return 1;
  // The same count of idle events in the channel menu, for comparison.
  for (int i = 0; i < events; ++i) {
    emu::advanceTicks(10);
    CALLGRIND_TOGGLE_COLLECT;
    TAP_EventHandler(EVT_IDLE, 0, 0);
    CALLGRIND_TOGGLE_COLLECT;
  }
  CALLGRIND_DUMP_STATS_AT("idle events in the menu");
  TAP_EventHandler(EVT_KEY, RKEY_1, 0);
  // Steps run at their own pace, every 300 ticks, uncounted; the idle
  // events between them, every 10 ticks as the firmware sends them, count.
  int done = 0, steps = 0;
  while (done < events) {
    emu::advanceTicks(10);
    if (_Streamtick < emu::ticks() - 10) {
      server.get("control?advance=1");
      TAP_EventHandler(EVT_IDLE, 0, 0);
      ++steps;
      for (int i = 0; i < 50 && !commandOutput("pidof wget").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    uint32_t due = _Streamtick;
    CALLGRIND_TOGGLE_COLLECT;
    TAP_EventHandler(EVT_IDLE, 0, 0);
    CALLGRIND_TOGGLE_COLLECT;
    ++done;
    if (_Streamtick != due) {
      std::fprintf(stderr, "a step ran among the counted idle events\n");
      return 1;
    }
  }
  CALLGRIND_DUMP_STATS_AT("idle events between steps");
  std::printf("%d idle events each (%d steps among them); divide each dump's instruction count by %d\n", events, steps,
              events);
  TAP_EventHandler(EVT_STOP, 0, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  int status = emu::runSandboxed(
      emu::SandboxOptions(),
      [&]() {
        if (argc == 3 && std::strcmp(argv[1], "--callgrind") == 0) return countIdleInstructions(std::atoi(argv[2]));
        return measureSteps(argc == 2 ? std::atof(argv[1]) : 40);
      },
      &error);
  if (status < 0) std::fprintf(stderr, "Cannot make the sandbox: %s\n", error.c_str());
  return status == 0 ? 0 : 1;
}
