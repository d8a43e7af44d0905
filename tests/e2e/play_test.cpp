// A live channel played from the local HLS test source through the whole
// system: the emulator's command line, the TAP, the real wget and the player.
#include <gtest/gtest.h>

#include <string>

#include "support/hls_server.h"
#include "support/testing.h"

using namespace orvado_test;

TEST(Play, LiveChannelFromTheTestSourceReachesThePlayer) {
  HlsServer server({"--mode", "live", "--segment-seconds", "1", "--segment-bytes", "4000000", "--window", "4"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  char name[] = "/tmp/orvado-play-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string work = name;
  ASSERT_EQ(system(("cp -r " + std::string(ORVADO_BINARY_DIR) + "/disk " + work + "/template").c_str()), 0);
  writeFile(work + "/template/ProgramFiles/Settings/orvado/orvado.ini",
            "tvname1=Live\ntvPL1=" + server.url() + "index.m3u8\n");
  std::string out = commandOutput(ORVADO_RUN_PREFIX + std::string(ORVADO_BINARY_DIR) + "/orvado-emu --template " + work +
                                  "/template --keys 1s:1,20s:exit,21s:exit --shot 19s:" + work +
                                  "/playing.png " ORVADO_TAP_FILE " 2>/dev/null");
  EXPECT_NE(out.find("key 0x10001 consumed by the TAP"), std::string::npos) << out;
  EXPECT_NE(out.find("Appl_StartPlaybackMedia: playing /mnt/hd/MediaFiles/tmp/Stream.ts"), std::string::npos) << out;
  EXPECT_NE(out.find("Player: stopped /mnt/hd/MediaFiles/tmp/Stream.ts"), std::string::npos) << "Exit stops it";
  EXPECT_NE(out.find("the TAP has ended itself (TAP_Exit)"), std::string::npos) << out;
  emu::Image shot;
  std::string error;
  ASSERT_TRUE(emu::loadPng(work + "/playing.png", shot, &error)) << error;
  EXPECT_EQ(shot.pixels[100 * 720 + 10], 0xFFBFBFBFu) << "the video plane shows the player running";
  removeAll(work);
}
