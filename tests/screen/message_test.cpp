// The message window: geometry, replacement, timing and the calls it makes.
#include <gtest/gtest.h>

#include "lib/screen/screen.h"
#include "screen/screen_support.h"

using screen_test::logMessages;

namespace {

struct Box {
  int x = -1, y = -1, w = 0, h = 0;
};

// The box as shown: the bounds of the frame colour on the screen.
Box shownBox(uint32_t frame = 0xFF9C9C9C) {
  emu::Image s = emu::screen();
  Box b;
  int x1 = -1, y1 = -1;
  for (int y = 0; y < int(s.height); ++y)
    for (int x = 0; x < int(s.width); ++x)
      if (s.pixels[size_t(y) * s.width + x] == frame) {
        if (b.x < 0 || x < b.x) b.x = x;
        if (b.y < 0 || y < b.y) b.y = y;
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
      }
  if (b.x >= 0) {
    b.w = x1 - b.x + 1;
    b.h = y1 - b.y + 1;
  }
  return b;
}

int liveRegions() {
  int n = 0;
  const OsdRegionInfo* t = emu::regionTable();
  for (int i = 0; i < OSD_RegionTableSize; ++i) n += t[i].width != 0;
  return n;
}

int countColour(const emu::Image& img, uint32_t colour, int y0, int y1) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (uint32_t x = 0; x < img.width; ++x) n += img.pixels[size_t(y) * img.width + x] == colour;
  return n;
}

class MessageWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    zindra_rgn = 0;
  }
  void TearDown() override { EndMessageWin(); }
};

}  // namespace

TEST_F(MessageWindow, StartUpBoxIsCentredAndThreeLinesHigh) {
  ShowMessageWin("Orvado", "failed to load Calibri_12.ufnt", "Please install the font", 0);
  ASSERT_NE(zindra_rgn, 0u);
  EXPECT_EQ(logMessages(), std::vector<std::string>{}) << "a sound box gives no warnings";
  Box b = shownBox();
  EXPECT_EQ(b.h, 88);
  EXPECT_EQ(b.y, 244);
  EXPECT_EQ(b.x, (720 - b.w) / 2);
  EXPECT_EQ(GetOSDRegionWidth(uint16_t(zindra_rgn)), uint32_t(b.w));
  EXPECT_EQ(liveRegions(), 1) << "the work region is gone";

  // Frame 5 pixels wide, then the dark blue panel; title and lines drawn in it.
  emu::Image box = emu::regionImage(uint16_t(zindra_rgn));
  EXPECT_EQ(box.pixels[size_t(4) * box.width + 4], 0xFF9C9C9Cu);
  EXPECT_EQ(box.pixels[size_t(5) * box.width + 5], 0xFF192952u);
  EXPECT_GT(countColour(box, 0xFFFFFF52, 5, 31), 10) << "pale yellow title in the first row";
  EXPECT_GT(countColour(box, 0xFFE6FFE6, 31, 83), 50) << "pale green-white lines below it";
  EXPECT_EQ(countColour(box, 0xFFE6FFE6, 5, 31), 0);
}

TEST_F(MessageWindow, HeightFollowsTitleAndLines) {
  const char* noTitle[] = {nullptr, "one", "two", nullptr};
  ShowMessageWindow(noTitle, 720, 576, 2, 1, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, 0);
  EXPECT_EQ(shownBox().h, 10 + 2 * 26);

  const char* nothing[] = {nullptr, nullptr};
  ShowMessageWindow(nothing, 720, 576, 0, 1, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, 0);
  EXPECT_EQ(shownBox().h, 10 + 19) << "an empty title row only";

  // Font size 7 counts as 2.
  const char* lines[] = {"Title", "line", nullptr};
  ShowMessageWindow(lines, 720, 576, 7, 0, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, 0);
  Box seven = shownBox();
  ShowMessageWindow(lines, 720, 576, 2, 0, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, 0);
  Box two = shownBox();
  EXPECT_EQ(seven.h, 62);
  EXPECT_EQ(seven.w, two.w);

  // A null first line ends the list: line 2 is not shown.
  ShowMessageWin("T", nullptr, "hidden", 0);
  EXPECT_EQ(shownBox().h, 36);
}

TEST_F(MessageWindow, EdgesOfTheScreenLimitTheBox) {
  const char* lines[] = {"A rather long title for a narrow box", "first", "second", nullptr};
  ShowMessageWindow(lines, 700, 576, 2, 1, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, 0);
  Box b = shownBox();
  EXPECT_EQ(b.x, 700);
  EXPECT_LE(b.w, 20);

  ShowMessageWindow(lines, 100, 500, 2, 1, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6, 0xFF192952, 0);
  b = shownBox();
  EXPECT_EQ(b.y, 500);
  EXPECT_EQ(b.h, 62) << "the second line would reach row 588";
  EXPECT_EQ(b.x, 100);
}

TEST_F(MessageWindow, SecondBoxReplacesTheFirst) {
  ShowMessageWin("First", "a", nullptr, 0);
  uint32_t first = zindra_rgn;
  ShowMessageWin("Second", "b", "c", 0);
  EXPECT_NE(zindra_rgn, 0u);
  EXPECT_EQ(liveRegions(), 1);
  if (zindra_rgn != first) {
    EXPECT_EQ(GetOSDRegionWidth(uint16_t(first)), 0u) << "the first box's region is deleted";
  }
  EXPECT_EQ(shownBox().h, 88);
}

TEST_F(MessageWindow, DurationBlocksThenEnds) {
  uint32_t before = emu::ticks();
  int syncs = emu::syncCount();
  ShowMessageWin("Orvado", "failed to load x", "Please install the font", 300);
  EXPECT_EQ(emu::ticks() - before, 300u);
  EXPECT_EQ(zindra_rgn, 0u);
  EXPECT_EQ(liveRegions(), 0);
  EXPECT_EQ(shownBox().w, 0);
  EXPECT_EQ(emu::syncCount() - syncs, 2) << "one sync when shown, one when ended";

  ShowMessageWin("Stays", "up", nullptr, 0);
  EXPECT_NE(zindra_rgn, 0u);
  EndMessageWin();
  EXPECT_EQ(liveRegions(), 0);
  syncs = emu::syncCount();
  EndMessageWin();
  EXPECT_EQ(emu::syncCount() - syncs, 1) << "a second end only syncs";
  EXPECT_EQ(zindra_rgn, 0u);
}
