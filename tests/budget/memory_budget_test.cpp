// The TAP's memory budget (docs/budgets.md): the most that TAP_MemAlloc holds
// at once with both fonts loaded and the menu drawn, and while a live channel
// streams into the player. Both figures are printed for scripts/bench.sh.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/tap.h"
#include "support/hls_server.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

constexpr size_t kMenuBudget = 256 * 1024;
constexpr size_t kStreamBudget = 512 * 1024;

void idle(int events) {
  for (int i = 0; i < events; ++i) {
    emu::advanceTicks(10);
    emu::sendEvent(EVT_IDLE);
  }
}

}  // namespace

TEST(MemoryBudget, FontsMenuAndALiveStream) {
  HlsServer server({"--mode", "live", "--segment-seconds", "1", "--segment-bytes", "4000000", "--window", "4"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  inFreshProcess([&] {
    freshReceiver(virtualConfig());
    writeFile("/mnt/hd/ProgramFiles/Settings/orvado/orvado.ini",
              "[orvado]\ntvname1=Live\ntvPL1=" + server.url() + "index.m3u8\n");
    std::string error;
    ASSERT_TRUE(emu::loadTap(ORVADO_TAP_FILE, &error)) << error;
    ASSERT_NE(emu::startTap(), 0) << "the TAP ended at start (fonts missing?)";
    idle(5);
    size_t menu = emu::peakBytes();
    std::printf("budget: peak TAP_MemAlloc, fonts loaded and menu drawn: %zu bytes of %zu\n", menu, kMenuBudget);
    EXPECT_GT(menu, 0u) << "the fonts are held in TAP_MemAlloc blocks";
    EXPECT_LE(menu, kMenuBudget);

    emu::sendEvent(EVT_KEY, RKEY_1);
    // One pipeline step per 300 ticks; the downloads themselves take real
    // time. A few steps more after the player starts take in the appends.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    int stepsAfterStart = 0;
    while (stepsAfterStart < 4 && std::chrono::steady_clock::now() < deadline) {
      emu::advanceTicks(301);
      emu::sendEvent(EVT_IDLE);
      if (emu::playing()) ++stepsAfterStart;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(emu::playing()) << "the live channel never reached the player";
    size_t stream = emu::peakBytes();
    std::printf("budget: peak TAP_MemAlloc, live stream playing: %zu bytes of %zu\n", stream, kStreamBudget);
    EXPECT_LE(stream, kStreamBudget);
    emu::sendEvent(EVT_KEY, RKEY_Exit);
    emu::unloadTap();
  });
}
