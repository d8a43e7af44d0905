// The channel settings and the channel menu.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/orvado.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const char* kIni = "/mnt/hd/ProgramFiles/Settings/orvado/orvado.ini";

uint32_t pixel(uint32_t x, uint32_t y) {
  emu::Image img = emu::regionImage(_rgn);
  return img.pixels.at(size_t(y) * img.width + x);
}

}  // namespace

TEST(Channels, MissingKeysGetTheDefault) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    writeFile(kIni, "[orvado]\r\ntvname3=Sport\r\ntvPL3=http://127.0.0.1:8080/sport/index.m3u8\r\n");
    EXPECT_EQ(readini(), 1);
    for (int i = 0; i < 9; ++i) {
      EXPECT_STREQ(_OrvadoName[i], i == 2 ? "Sport" : "---") << i;
      EXPECT_STREQ(_OrvadoURL[i], i == 2 ? "http://127.0.0.1:8080/sport/index.m3u8" : "---") << i;
    }
  });
}

TEST(Channels, NoSettingsFileLeavesTheTablesEmpty) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    removeAll(kIni);
    EXPECT_EQ(readini(), 0);
    for (int i = 0; i < 9; ++i) {
      EXPECT_STREQ(_OrvadoName[i], "");
      EXPECT_STREQ(_OrvadoURL[i], "");
    }
  });
}

TEST(Channels, NamesAndUrlsAreCutToTheirLimits) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    std::string url = "http://127.0.0.1/" + std::string(600, 'u');
    writeFile(kIni,
              "tvname1=Fifteen chars!!\ntvname2=Sixteen chars!!!\ntvname3=\xC3\x84\xC3\x84\xC3\x84\xC3\x84"
              "\xC3\x84\xC3\x84\xC3\x84\xC3\x84\ntvname4=Z\xC3\xBCrich \xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\ntvPL1=" +
                  url + "\n");
    EXPECT_EQ(readini(), 1);
    EXPECT_STREQ(_OrvadoName[0], "Fifteen chars!!");
    EXPECT_STREQ(_OrvadoName[1], "Sixteen chars!!");
    EXPECT_STREQ(_OrvadoName[2], "\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84")
        << "seven letters of two bytes, not half of the eighth";
    EXPECT_STREQ(_OrvadoName[3], "Z\xC3\xBCrich \xE2\x82\xAC\xE2\x82\xAC");
    EXPECT_EQ(std::string(_OrvadoURL[0]), url.substr(0, 511));
  });
}

TEST(Channels, StartMovesAnOldSettingsFileAndReadsIt) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    removeAll(kIni);
    writeFile("/mnt/hd/ProgramFiles/orvado.ini", "tvname1=Old place\n");
    ASSERT_EQ(TAP_Main(), 1);
    EXPECT_FALSE(exists("/mnt/hd/ProgramFiles/orvado.ini"));
    EXPECT_TRUE(exists(kIni));
    EXPECT_STREQ(_OrvadoName[0], "Old place");
  });
}

TEST(Channels, AnOldSettingsFileNeverReplacesTheCurrentOne) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    writeFile(kIni, "tvname1=Current\n");
    writeFile("/mnt/hd/ProgramFiles/orvado.ini", "tvname1=Old place\n");
    ASSERT_EQ(TAP_Main(), 1);
    EXPECT_STREQ(_OrvadoName[0], "Current");
    EXPECT_EQ(readFile(kIni), "tvname1=Current\n");
    EXPECT_FALSE(exists("/mnt/hd/ProgramFiles/orvado.ini"));
    EXPECT_EQ(readFile("/mnt/hd/ProgramFiles/orvado.ini.old"), "tvname1=Old place\n") << "kept, not lost";
  });
}

TEST(ChannelMenu, DrawnInMenuModeOnly) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    writeFile(kIni, "tvname1=One\n");
    ASSERT_EQ(TAP_Main(), 1);
    TAP_EventHandler(EVT_IDLE, 0, 0);
    // Every line's field is filled near-black from x 20 to 250, one row below its text.
    for (uint32_t i = 0; i < 9; ++i) EXPECT_EQ(pixel(20, 121 + 21 * i), 0xFF101010u) << "line " << i + 1;
    EXPECT_EQ(pixel(20, 320), 0xFF101010u) << "exit line";
    EXPECT_EQ(pixel(249, 121), 0xFF101010u);
    EXPECT_EQ(pixel(251, 121), 0u) << "the field ends at x 250";
    EXPECT_EQ(pixel(20, 312), 0u) << "nothing between the last channel and the exit line";
    int ink = 0;
    for (uint32_t y = 121; y < 141; ++y)
      for (uint32_t x = 20; x < 120; ++x) ink += (pixel(x, y) & 0xFF) > 0x80;
    EXPECT_GT(ink, 10) << "light text on the first line";

    ASSERT_EQ(TAP_EventHandler(EVT_KEY, RKEY_1, 0), 0u);
    TAP_EventHandler(EVT_IDLE, 0, 0);
    EXPECT_EQ(pixel(20, 142), 0u) << "the menu is gone in streaming mode";
  });
}
