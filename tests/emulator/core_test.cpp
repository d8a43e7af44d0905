// The emulator core's own services: memory, clock, date, states, parsing.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lib/firmware/fwaccess.h"
#include "support/testing.h"

using namespace orvado_test;

TEST(CoreMemory, FailsAfterNCallsOnceOrForGood) {
  freshReceiver(virtualConfig());
  emu::failAllocAfter(2);
  void* a = TAP_MemAlloc(10);
  void* b = TAP_MemAlloc(20);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(TAP_MemAlloc(30), nullptr) << "the third fails";
  void* c = TAP_MemAlloc(40);
  EXPECT_NE(c, nullptr) << "a transient failure passes";
  EXPECT_EQ(emu::liveBlocks(), 3u);
  EXPECT_EQ(emu::liveBytes(), 70u);
  EXPECT_EQ(emu::allocCalls(), 4);

  emu::failAllocAfter(0, true);
  EXPECT_EQ(TAP_MemAlloc(1), nullptr);
  EXPECT_EQ(TAP_MemAlloc(1), nullptr) << "a persistent failure stays";
  emu::failAllocAfter(-1);
  void* d = TAP_MemAlloc(0);
  EXPECT_NE(d, nullptr) << "a zero-size block is still a block";

  EXPECT_EQ(TAP_MemFree(a), 1);
  EXPECT_EQ(TAP_MemFree(a), 0) << "a second free is refused, not a crash";
  int local = 0;
  EXPECT_EQ(TAP_MemFree(&local), 0);
  EXPECT_EQ(TAP_MemFree(nullptr), 0);
  for (void* p : {b, c, d}) EXPECT_EQ(TAP_MemFree(p), 1);
  EXPECT_EQ(emu::liveBlocks(), 0u);
  EXPECT_EQ(emu::liveBytes(), 0u);
}

// Thousands of blocks freed in a shuffled order between new ones: the
// ledger grows and closes its gaps, and never loses or invents a block.
TEST(CoreMemory, ManyBlocksFreedInAnyOrderAreAllKnown) {
  freshReceiver(virtualConfig());
  std::mt19937 rng(3);
  std::vector<void*> live;
  for (int round = 0; round < 20000; ++round) {
    if (live.empty() || rng() % 5 < 3) {
      live.push_back(TAP_MemAlloc(rng() % 64));
      ASSERT_NE(live.back(), nullptr);
    } else {
      size_t i = rng() % live.size();
      std::swap(live[i], live.back());
      ASSERT_EQ(TAP_MemFree(live.back()), 1) << "round " << round;
      ASSERT_EQ(TAP_MemFree(live.back()), 0) << "round " << round << ": freed twice";
      live.pop_back();
    }
  }
  EXPECT_EQ(emu::liveBlocks(), live.size());
  for (void* p : live) EXPECT_EQ(TAP_MemFree(p), 1);
  EXPECT_EQ(emu::liveBlocks(), 0u);
  EXPECT_EQ(emu::liveBytes(), 0u);
}

TEST(CoreMemory, WritesPastABlockAreCaught) {
  freshReceiver(virtualConfig());
  char* a = static_cast<char*>(TAP_MemAlloc(8));
  char* b = static_cast<char*>(TAP_MemAlloc(8));
  std::memset(a, 'x', 8);
  EXPECT_EQ(emu::heapOverruns(), 0);
  b[8] = 'y';
  EXPECT_EQ(emu::heapOverruns(), 1) << "a live block is checked";
  EXPECT_EQ(emu::heapOverruns(), 1) << "and reported once";
  a[9] = 'z';
  TAP_MemFree(a);
  EXPECT_EQ(emu::heapOverruns(), 2) << "a freed block is checked at the free";
  TAP_MemFree(b);
  EXPECT_EQ(emu::heapOverruns(), 2);
  EXPECT_NE(emu::consoleLines().back().find("written past its end"), std::string::npos);
}

TEST(CoreClock, VirtualTicksAndDelays) {
  freshReceiver(virtualConfig());
  EXPECT_EQ(TAP_GetTick(), 1000u) << "a receiver has been running before the TAP starts";
  TAP_Delay(300);
  EXPECT_EQ(TAP_GetTick(), 1300u);
  emu::advanceTicks(5);
  EXPECT_EQ(emu::ticks(), 1305u);
  TAP_Sleep(1000);
  EXPECT_EQ(TAP_GetTick(), 2305u);
}

TEST(CoreClock, RealTicksMove) {
  freshReceiver(emu::Config());
  uint32_t first = TAP_GetTick();
  TAP_Delay(3);
  EXPECT_GE(TAP_GetTick() - first, 3u);
  EXPECT_LT(TAP_GetTick() - first, 100u);
}

TEST(CoreDate, ModifiedJulianDates) {
  freshReceiver(virtualConfig());
  struct Case {
    uint16_t mjd;
    uint16_t year;
    uint8_t month, day, weekday;  // weekday 0 is Monday
  } cases[] = {{0, 1858, 11, 17, 2},
               {45000, 1982, 1, 31, 6},
               {51544, 2000, 1, 1, 5},
               {57447, 2016, 2, 29, 0},
               {65535, 2038, 4, 22, 3}};
  for (const auto& c : cases) {
    uint16_t y = 0;
    uint8_t m = 0, d = 0, w = 9;
    TAP_ExtractMjd(c.mjd, &y, &m, &d, &w);
    EXPECT_EQ(y, c.year) << c.mjd;
    EXPECT_EQ(m, c.month) << c.mjd;
    EXPECT_EQ(d, c.day) << c.mjd;
    EXPECT_EQ(w, c.weekday) << c.mjd;
  }
  TAP_ExtractMjd(57447, nullptr, nullptr, nullptr, nullptr);  // optional outputs
}

TEST(CoreDate, GetTimeFollowsTheFixedClock) {
  emu::Config c = virtualConfig();
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  t.tm_isdst = -1;
  c.fixedTime = std::mktime(&t);
  freshReceiver(c);
  uint16_t mjd;
  uint8_t h, m, s;
  EXPECT_EQ(TAP_GetTime(&mjd, &h, &m, &s), 1);
  EXPECT_EQ(mjd, 61405);
  EXPECT_EQ(h, 23);
  EXPECT_EQ(m, 59);
  EXPECT_EQ(s, 58);
  emu::advanceTicks(300);  // three seconds later it is a new year
  EXPECT_EQ(TAP_GetTime(&mjd, &h, &m, &s), 1);
  EXPECT_EQ(mjd, 61406);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(m, 0);
  EXPECT_EQ(s, 1);
}

TEST(CoreStates, StatesNormalModeAndExit) {
  freshReceiver(virtualConfig());
  uint32_t main = 9, sub = 9;
  TAP_GetState(&main, &sub);
  EXPECT_EQ(main, 0u);
  EXPECT_EQ(sub, 0u);
  emu::setState(1, 31);
  TAP_GetState(&main, &sub);
  EXPECT_EQ(main, 1u);
  EXPECT_EQ(sub, 31u);
  EXPECT_TRUE(emu::normalMode());
  TAP_ExitNormal();
  EXPECT_FALSE(emu::normalMode());
  TAP_EnterNormal();
  EXPECT_TRUE(emu::normalMode());
  EXPECT_FALSE(emu::exitRequested());
  TAP_Exit();
  EXPECT_TRUE(emu::exitRequested());
  EXPECT_EQ(TAP_GetSystemId(), 22010u);
  EXPECT_EQ(TAP_GetVersion() & 0xFFFF, 0x1Eu);
}

TEST(CoreConsole, PrintCollectsWholeLines) {
  freshReceiver(virtualConfig());
  std::vector<std::string> seen;
  emu::setConsoleSink([&](const std::string& line) { seen.push_back(line); });
  TAP_Print("__builtin_new. size=%d\n", 12);
  TAP_Print("part ");
  EXPECT_EQ(seen.size(), 1u) << "a line is whole only at its line feed";
  TAP_Print("two\r\n");
  emu::setConsoleSink(nullptr);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "__builtin_new. size=12");
  EXPECT_EQ(seen[1], "part two");
  char buf[32];
  EXPECT_EQ(TAP_SPrint(buf, "%04d-%s", 7, "x"), 6);
  EXPECT_STREQ(buf, "0007-x");
}

// The status column that a TAP's "status: TEXT (N s)" lines report. Each
// step prints (unless empty), moves the virtual clock on, then expects the
// column; every line stays on the console as well.
struct StatusStep {
  std::string print;
  uint32_t ticks;
  std::vector<std::string> shown;
};
struct StatusCase {
  const char* name;
  std::vector<StatusStep> steps;
};

std::vector<StatusStep> tenThenOneMore() {
  std::vector<StatusStep> steps;
  std::vector<std::string> shown;
  for (int i = 0; i < 10; ++i) {
    shown.push_back("m" + std::to_string(i));
    steps.push_back({"status: " + shown.back() + (i < 9 ? " (5 s)\n" : " (6 s)\n"), 0, shown});
  }
  steps.push_back({"status: eleventh (10 s)\n", 500, {"m9"}});  // left out while ten show
  steps.push_back({"status: twelfth (5 s)\n", 100, {"twelfth"}});
  return steps;
}

const StatusCase kStatusCases[] = {
    {"ShownForItsSeconds", {{"status: Start Orvado (5 s)\n", 499, {"Start Orvado"}}, {"", 1, {}}}},
    {"OldestFirstEachForItsOwnTime",
     {{"status: Pl 2\tError (5 s)\n", 100, {"Pl 2\tError"}},
      {"status: TLS Error (10 s)\n", 399, {"Pl 2\tError", "TLS Error"}},
      {"", 1, {"TLS Error"}},
      {"", 599, {"TLS Error"}},
      {"", 1, {}}}},
    {"TenAtMost", tenThenOneMore()},
    {"LineInParts", {{"status: Play", 0, {}}, {"list (1 s)\r\n", 99, {"Playlist"}}, {"", 1, {}}}},
    {"OtherLinesOnlyOnTheConsole",
     {{"status: no space (5s)\n", 0, {}},
      {"Status: capital (5 s)\n", 0, {}},
      {"status: words (five s)\n", 0, {}},
      {"status: no time\n", 0, {}},
      {"log: status: inside (5 s)\n", 0, {}},
      {"status: none (0 s)\n", 0, {}}}},
};

class CoreStatusColumn : public testing::TestWithParam<StatusCase> {};

TEST_P(CoreStatusColumn, FollowsTheStatusLines) {
  freshReceiver(virtualConfig());
  size_t lines = 0;
  for (const StatusStep& step : GetParam().steps) {
    TAP_Print("%s", step.print.c_str());
    lines += step.print.ends_with('\n');
    emu::advanceTicks(step.ticks);
    EXPECT_EQ(emu::statusTexts(), step.shown) << "after " << step.print;
  }
  EXPECT_EQ(emu::consoleLines().size(), lines) << "every line on the console too";
  TAP_Print("status: long (60 s)\n");
  freshReceiver(virtualConfig());
  EXPECT_TRUE(emu::statusTexts().empty()) << "a fresh receiver shows none";
}

std::string statusCaseName(const testing::TestParamInfo<StatusCase>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Lines, CoreStatusColumn, testing::ValuesIn(kStatusCases), statusCaseName);

TEST(CoreParsing, KeysAndTimes) {
  uint32_t code = 0;
  EXPECT_TRUE(emu::parseKey("1", code));
  EXPECT_EQ(code, RKEY_1);
  EXPECT_TRUE(emu::parseKey(" 9 ", code));
  EXPECT_EQ(code, RKEY_9);
  EXPECT_TRUE(emu::parseKey("EXIT", code));
  EXPECT_EQ(code, RKEY_Exit);
  EXPECT_TRUE(emu::parseKey("stop", code));
  EXPECT_EQ(code, RKEY_Stop);
  EXPECT_TRUE(emu::parseKey("0x1003f", code));
  EXPECT_EQ(code, 0x1003Fu);
  for (const char* bad : {"", "purple", "0x", "-1", "0x1FFFFFFFF"}) EXPECT_FALSE(emu::parseKey(bad, code)) << bad;

  uint32_t t = 0;
  EXPECT_TRUE(emu::parseTicks("2s", t));
  EXPECT_EQ(t, 200u);
  EXPECT_TRUE(emu::parseTicks("1.5s", t));
  EXPECT_EQ(t, 150u);
  EXPECT_TRUE(emu::parseTicks("250ms", t));
  EXPECT_EQ(t, 25u);
  EXPECT_TRUE(emu::parseTicks("40t", t));
  EXPECT_EQ(t, 40u);
  for (const char* bad : {"", "2", "s", "-1s", "2h", "1e99s", "nans", "infs"})
    EXPECT_FALSE(emu::parseTicks(bad, t)) << bad;
}

TEST(CoreFirmware, ResetRefusesUnknownSymbolsAndBadSlots) {
  emu::Config c = virtualConfig();
  c.leaveOut = {"_Z9NoSuchFnv"};
  std::string error;
  EXPECT_FALSE(emu::reset(c, &error));
  EXPECT_NE(error.find("unknown firmware symbol: _Z9NoSuchFnv"), std::string::npos) << error;
  c.leaveOut.clear();
  c.tapSlot = TAP_TableSize;
  EXPECT_FALSE(emu::reset(c, &error));
  EXPECT_NE(error.find("slot"), std::string::npos) << error;
}

TEST(CoreFirmware, SymbolsOfferedOnceCannotBeWithdrawn) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    emu::Config c = virtualConfig();
    c.leaveOut = {FW_osdInfo};
    std::string error;
    EXPECT_FALSE(emu::reset(c, &error));
    EXPECT_NE(error.find("fresh process"), std::string::npos) << error;
  });
}

TEST(CoreScreen, VideoPlaneShowsBarsAndProgressWhilePlaying) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    EXPECT_EQ(emu::screen().pixels[100 * 720 + 10], 0xFF000000u) << "black while nothing plays";
    std::string ts(188 * 1000, '\0');
    for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
    writeFile("/mnt/hd/MediaFiles/film.ts", ts);
    uint32_t folder[4] = {FW_FolderRecordMarker, 0, 0, 0};
    ASSERT_EQ(ApplHdd_SelectFolder(folder, "mnt/hd/MediaFiles"), 0);
    ApplHdd_SetWorkFolder(folder);
    ASSERT_EQ(Appl_StartPlaybackMedia("film.ts", 0, true, false), 0);
    emu::Image s = emu::screen();
    EXPECT_EQ(s.pixels[100 * 720 + 10], 0xFFBFBFBFu) << "the first bar";
    EXPECT_EQ(s.pixels[100 * 720 + 715], 0xFF0000BFu) << "the last bar";
    uint32_t bar = 576 - 40 + 20;
    EXPECT_EQ(s.pixels[bar * 720 + 600], 0xFF404040u) << "nothing played yet";
    // Nothing to decode: once the player has looked at the file (a fifth of
    // a second), it moves on at a nominal rate. About half of the file:
    emu::advanceTicks(20);
    emu::advanceTicks(15);
    s = emu::screen();
    EXPECT_EQ(s.pixels[bar * 720 + 100], 0xFFE0E0E0u);
    EXPECT_EQ(s.pixels[bar * 720 + 600], 0xFF404040u);
    // The TAP's regions lie over the video plane.
    uint16_t rgn = static_cast<uint16_t>(TAP_Osd_Create(0, 0, 50, 50, 0, 0));
    TAP_Osd_FillBox(rgn, 0, 0, 50, 50, 0xFF123456);
    EXPECT_EQ(emu::screen().pixels[10 * 720 + 10], 0xFF123456u);
    TAP_Hdd_StopTs();
    EXPECT_EQ(emu::screen().pixels[100 * 720 + 100], 0xFF000000u) << "black again after the stop";
  });
}
