// The status line: slots, expiry, compaction and what is drawn.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/orvado.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

void startedShell() {
  freshReceiver(virtualConfig());
  ASSERT_EQ(TAP_Main(), 1);
  std::memset(_StatusausgabeTick, 0, sizeof _StatusausgabeTick);
}

int liveSlots() {
  int n = 0;
  for (uint32_t t : _StatusausgabeTick) n += t > _tick;
  return n;
}

// Rows of the region where a box of the column is drawn.
bool boxAt(int k) {
  emu::Image img = emu::regionImage(_rgn);
  return img.pixels[(5 + 22 * k) * img.width + 20] != 0;
}

}  // namespace

TEST(StatusLine, StartShowsTheFoldersItMakesAndItsStart) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    removeAll("/mnt/hd/ProgramFiles/Settings/orvado");
    removeAll("/mnt/hd/MediaFiles/tmp");
    ASSERT_EQ(TAP_Main(), 1);
    EXPECT_STREQ(_StatusausgabeText[0], "orvado erstellt");
    EXPECT_STREQ(_StatusausgabeText[1], "MF tmp erst");
    EXPECT_STREQ(_StatusausgabeText[2], "Start Orvado");
    EXPECT_EQ(_StatusausgabeTick[2], _tick + 500u);
    EXPECT_TRUE(boxAt(0) && boxAt(1) && boxAt(2));
    EXPECT_FALSE(boxAt(3));
    // The TAP reports them on its console, where the emulator keeps its column.
    EXPECT_EQ(emu::statusTexts(), (std::vector<std::string>{"orvado erstellt", "MF tmp erst", "Start Orvado"}));
  });
}

TEST(StatusLine, StartWithItsFoldersInPlaceShowsOnlyItsStart) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    ASSERT_EQ(system("mkdir -p /mnt/hd/ProgramFiles/Settings/orvado /mnt/hd/MediaFiles/tmp"), 0);
    ASSERT_EQ(TAP_Main(), 1);
    EXPECT_STREQ(_StatusausgabeText[0], "Start Orvado") << "no creation messages when the folders exist";
  });
}

TEST(StatusLine, LengthLimitAndFullColumn) {
  inFreshProcess([] {
    startedShell();
    SetStatusAusgabe("fifteen chars!!", 5);
    EXPECT_STREQ(_StatusausgabeText[0], "fifteen chars!!");
    SetStatusAusgabe("sixteen chars!!!", 5);
    EXPECT_STREQ(_StatusausgabeText[1], "String to long");
    for (int i = 2; i < 10; ++i) SetStatusAusgabe("m", 5);
    SetStatusAusgabe("eleventh", 5);
    EXPECT_EQ(liveSlots(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_STRNE(_StatusausgabeText[i], "eleventh");
    EXPECT_EQ(_StatusAusgabeDel, 10);
  });
}

TEST(StatusLine, CompactsLiveMessagesAndExpires) {
  inFreshProcess([] {
    startedShell();
    SetStatusAusgabe("a", 1);
    SetStatusAusgabe("b", 5);
    SetStatusAusgabe("c", 5);
    emu::advanceTicks(150);
    TAP_EventHandler(EVT_IDLE, 0, 0);  // now is past "a"
    EXPECT_FALSE(boxAt(2)) << "an expired message vanishes at the next event";
    SetStatusAusgabe("d", 5);
    EXPECT_STREQ(_StatusausgabeText[0], "b");
    EXPECT_STREQ(_StatusausgabeText[1], "c");
    EXPECT_STREQ(_StatusausgabeText[2], "d");
    EXPECT_EQ(liveSlots(), 3);

    SetStatusAusgabe("zero", 0);
    EXPECT_EQ(_StatusausgabeTick[3], _tick) << "expiry equal to now: neither live nor free";
    EXPECT_EQ(_StatusAusgabeDel, 3);
    SetStatusAusgabe("e", 5);
    EXPECT_STREQ(_StatusausgabeText[4], "e") << "the zero-second slot stays taken";
  });
}
