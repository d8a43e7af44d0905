// Region queries and the checked create, fill and copy calls.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <string>

#include <cstdio>
#include <cstdlib>

#include "lib/firmware/fwaccess.h"
#include "lib/screen/screen.h"
#include "screen/screen_support.h"

using screen_test::logMessages;
using Lines = std::vector<std::string>;

namespace {

class Region : public ::testing::Test {
 protected:
  void SetUp() override { orvado_test::freshReceiver(orvado_test::virtualConfig()); }
};

int fakeCreateResult = 0;
int fakeCreate(uint32_t, uint32_t, uint32_t, uint32_t, uint8_t, int) { return fakeCreateResult; }

}  // namespace

TEST_F(Region, SizesFollowTheRegionTable) {
  uint16_t rgn = uint16_t(TAP_Osd_Create(10, 20, 100, 50, 0, 0));
  ASSERT_GE(rgn, 128);
  EXPECT_EQ(GetOSDRegionWidth(rgn), 100u);
  EXPECT_EQ(GetOSDRegionHeight(rgn), 50u);
  EXPECT_EQ(isOSDRegionAlive(rgn), 1);
  TAP_Osd_Delete(rgn);
  EXPECT_EQ(GetOSDRegionWidth(rgn), 0u);
  EXPECT_EQ(isOSDRegionAlive(rgn), 0);

  // Numbers beyond the table read as a region that does not exist.
  EXPECT_EQ(GetOSDRegionWidth(OSD_RegionTableSize), 0u);
  EXPECT_EQ(GetOSDRegionHeight(0xFFFF), 0u);
  EXPECT_EQ(isOSDRegionAlive(0xFFFF), 0);

  // One side of 0 is enough for a dead region.
  OsdRegionInfo* table = FIS_vOsdMap();
  ASSERT_NE(table, nullptr);
  table[140].width = 5;
  table[140].height = 0;
  table[141].width = 0;
  table[141].height = 5;
  EXPECT_EQ(isOSDRegionAlive(140), 0);
  EXPECT_EQ(isOSDRegionAlive(141), 0);
}

// The firmware look-up keeps an address once found, so a receiver without
// the table needs a program of its own: this test runs itself anew.
TEST(RegionWithoutTable, EveryRegionIsZeroByZero) {
  if (getenv("ORVADO_TEST_NO_OSDINFO") == nullptr) {
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("ORVADO_TEST_NO_OSDINFO", "1", 1);
      // Through the shell, so a cross build's emulator can start it.
      std::string self = std::filesystem::read_symlink("/proc/self/exe");
      std::string command = ORVADO_RUN_PREFIX + self + " --gtest_filter=RegionWithoutTable.*";
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return;
  }
  emu::Config c = orvado_test::virtualConfig();
  c.leaveOut = {FW_osdInfo};
  orvado_test::freshReceiver(c);
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
  EXPECT_EQ(GetOSDRegionWidth(rgn), 0u);
  EXPECT_EQ(GetOSDRegionHeight(rgn), 0u);
  EXPECT_EQ(isOSDRegionAlive(rgn), 0);
  // The checks fail, yet the drawing still reaches the platform.
  EXPECT_EQ(TAP_Osd_FillBox_Chk("T", rgn, 0, 0, 1, 1, 0xFF123456), 0);
  EXPECT_EQ(emu::regionImage(rgn).pixels[0], 0xFF123456u);
  EXPECT_EQ(logMessages().size(), 5u);
}

TEST_F(Region, CreateChecksTheScreen) {
  uint16_t rgn = uint16_t(TAP_Osd_Create_Chk("here", 700, 0, 20, 576, 0, 0));
  EXPECT_GE(rgn, 128);
  EXPECT_EQ(logMessages(), Lines{});

  TAP_Osd_Create_Chk("here", 700, 0, 21, 10, 0, 0);
  EXPECT_EQ(logMessages(), (Lines{"TAP_Osd_Create_Chk Warning: x(700) + w(21) out of range @ here",
                                  "TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned -1 @ here"}));

  TAP_Osd_Create_Chk("there", 720, 576, 0, 0, 0, 0);
  EXPECT_EQ(logMessages(), (Lines{"TAP_Osd_Create_Chk Warning: x(720) out of range @ there",
                                  "TAP_Osd_Create_Chk Warning: y(576) out of range @ there",
                                  "TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned -1 @ there"}));

  // -1 is far out of range, also in the sums, and prints as -1.
  TAP_Osd_Create_Chk("neg", uint32_t(-1), 0, 5, 5, 0, 0);
  EXPECT_EQ(logMessages(), (Lines{"TAP_Osd_Create_Chk Warning: x(-1) out of range @ neg",
                                  "TAP_Osd_Create_Chk Warning: x(-1) + w(5) out of range @ neg",
                                  "TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned -1 @ neg"}));

  // Without a tag: no checks, same call, same result.
  EXPECT_EQ(TAP_Osd_Create_Chk(nullptr, 720, 576, 21, 0, 0, 0), -1);
  EXPECT_EQ(logMessages(), Lines{});
}

TEST_F(Region, CreateReportsOnlyResultsBelow128) {
  auto saved = TAP_Osd_Create;
  TAP_Osd_Create = fakeCreate;
  fakeCreateResult = 5;
  EXPECT_EQ(TAP_Osd_Create_Chk("t", 0, 0, 1, 1, 0, 0), 5);
  Lines five = logMessages();
  fakeCreateResult = 130;
  EXPECT_EQ(TAP_Osd_Create_Chk("t", 0, 0, 1, 1, 0, 0), 130);
  Lines oneThirty = logMessages();
  TAP_Osd_Create = saved;
  EXPECT_EQ(five, Lines{"TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned 5 @ t"});
  EXPECT_EQ(oneThirty, Lines{});
}

TEST_F(Region, FillBoxChecksTheRegion) {
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 100, 50, 0, 0));
  EXPECT_EQ(TAP_Osd_FillBox_Chk("f", rgn, 90, 0, 10, 50, 0xFF00FF00), 0);
  EXPECT_EQ(logMessages(), Lines{});
  EXPECT_EQ(emu::regionImage(rgn).pixels[99], 0xFF00FF00u);

  TAP_Osd_FillBox_Chk("f", rgn, 90, 0, 11, 1, 0xFF00FF00);
  EXPECT_EQ(logMessages(), Lines{"TAP_Osd_FillBox_Chk Warning: x(90) + w(11) out of range @ f"});

  TAP_Osd_FillBox_Chk("f", rgn, 0, 50, 1, 0, 0xFF00FF00);
  Lines y = logMessages();
  ASSERT_FALSE(y.empty());
  EXPECT_EQ(y[0], "TAP_Osd_FillBox_Chk Warning: y(50) out of range @ f");

  TAP_Osd_FillBox_Chk("f", rgn, 0, uint32_t(-1), 1, 1, 0);
  Lines neg = logMessages();
  ASSERT_GE(neg.size(), 2u);
  EXPECT_EQ(neg[0], "TAP_Osd_FillBox_Chk Warning: y(-1) out of range @ f");
  EXPECT_EQ(neg[1], "TAP_Osd_FillBox_Chk Warning: y(-1) + h(1) out of range @ f");

  EXPECT_EQ(TAP_Osd_FillBox_Chk(nullptr, rgn, 0, 50, 1, 1, 0), -1);
  EXPECT_EQ(logMessages(), Lines{});
}

TEST_F(Region, FillBoxOnAnUndefinedRegionWarnsAndStillCalls) {
  EXPECT_EQ(TAP_Osd_FillBox_Chk("u", 150, 0, 0, 1, 1, 0xFF000000), -1);
  EXPECT_EQ(logMessages(), (Lines{"TAP_Osd_FillBox_Chk Warning: rgn(150) points to an undefined region @ u",
                                  "TAP_Osd_FillBox_Chk Warning: x(0) out of range @ u",
                                  "TAP_Osd_FillBox_Chk Warning: y(0) out of range @ u",
                                  "TAP_Osd_FillBox_Chk Warning: x(0) + w(1) out of range @ u",
                                  "TAP_Osd_FillBox_Chk Warning: y(0) + h(1) out of range @ u",
                                  "TAP_Osd_FillBox_Chk Warning: TAP_Osd_FillBox() returned -1 @ u"}));
}

TEST_F(Region, CopyChecksBothRegions) {
  uint16_t src = uint16_t(TAP_Osd_Create(0, 0, 40, 30, 0, OSD_Flag_WorkRegion));
  uint16_t dst = uint16_t(TAP_Osd_Create(0, 0, 20, 10, 0, 0));
  TAP_Osd_FillBox(src, 0, 0, 40, 30, 0xFFABCDEF);
  EXPECT_EQ(TAP_Osd_Copy_Chk("c", src, dst, 20, 20, 20, 10, 0, 0, false), 0);
  EXPECT_EQ(logMessages(), Lines{});
  EXPECT_EQ(emu::regionImage(dst).pixels[0], 0xFFABCDEFu);

  TAP_Osd_Copy_Chk("c", src, dst, 40, 30, 1, 1, 20, 10, false);
  EXPECT_EQ(logMessages(), (Lines{"TAP_Osd_Copy_Chk Warning: srcX(40) >= srcRgnW(40) @ c",
                                  "TAP_Osd_Copy_Chk Warning: srcY(30) >= srcRgnH(30) @ c",
                                  "TAP_Osd_Copy_Chk Warning: (srcX(40) + w(1)) > srcRgnW(40) @ c",
                                  "TAP_Osd_Copy_Chk Warning: (srcY(30) + h(1)) > srcRgnH(30) @ c",
                                  "TAP_Osd_Copy_Chk Warning: dstX(20) >= dstRgnW(20) @ c",
                                  "TAP_Osd_Copy_Chk Warning: dstY(10) >= dstRgnH(10) @ c",
                                  "TAP_Osd_Copy_Chk Warning: (dstX(20) + w(1)) > dstRgnW(20) @ c",
                                  "TAP_Osd_Copy_Chk Warning: (dstY(10) + h(1)) > dstRgnH(10) @ c",
                                  "TAP_Osd_Copy_Chk Warning: TAP_Osd_Copy() returned -1 @ c"}));

  TAP_Osd_Copy_Chk("d", src, dst, 0, 0, 21, 11, 0, 0, false);
  EXPECT_EQ(logMessages(), (Lines{"TAP_Osd_Copy_Chk Warning: (dstX(0) + w(21)) > dstRgnW(20) @ d",
                                  "TAP_Osd_Copy_Chk Warning: (dstY(0) + h(11)) > dstRgnH(10) @ d",
                                  "TAP_Osd_Copy_Chk Warning: TAP_Osd_Copy() returned -1 @ d"}));

  EXPECT_EQ(TAP_Osd_Copy_Chk(nullptr, src, dst, 40, 30, 1, 1, 20, 10, false), -1);
  EXPECT_EQ(logMessages(), Lines{});
}
