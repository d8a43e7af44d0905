// A live channel of the local HLS test source's real video played through the
// whole system: the emulator's run loop, the TAP, the real wget and the
// decoding player. What is on the screen must be what ffmpeg decodes from the
// same segments, it must move, and the tone must come through.
//
// The run is driven by what happens, not by the clock: a front end's key
// hook presses the digit, takes the screen once pictures are shown and again
// half a second of pictures later, and presses Exit once there is enough
// sound. A busy machine makes the downloads and the player's start late,
// which fixed times on the command line mistook for faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hls_server.h"
#include "support/media.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

// Where the plane holds the picture of a 16:9 stream (rows 86 to 489), less
// a margin and less the TAP's status column in the top-left corner.
constexpr Area kPicture = {140, 100, 720, 476};

bool samePicture(const emu::Image& a, const emu::Image& b) {
  for (uint32_t y = kPicture.top; y < kPicture.bottom; ++y)
    for (uint32_t x = kPicture.left; x < kPicture.right; ++x)
      if (a.pixels[y * 720 + x] != b.pixels[y * 720 + x]) return false;
  return true;
}

}  // namespace

TEST(Play, LiveChannelOfRealVideoIsDecodedOnScreenAndInTheAudio) {
  // Segments of 2 s padded to 16 Mbit/s: the TAP's second pipeline step
  // passes the 7,000,000 bytes that start the player. The same segments that
  // the source serves are decoded by ffmpeg below.
  const RealSegments top = makeRealSegments(320, 180, 16000000, 4, 2);
  ASSERT_FALSE(top.files.empty());
  HlsServer server({"--video", "real", "--mode", "live", "--segment-seconds", "2", "--window", "4", "--real-variants",
                    "160x90@2000000,320x180@16000000", "--real-seconds", "4", "--cache",
                    std::string(ORVADO_BINARY_DIR) + "/hlssource-cache", "--stop-after", "180"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  char name[] = "/tmp/orvado-play-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string work = name;

  emu::Image a, b;
  inFreshProcess([&] {
    // The real clock: the player paces itself by it against the stream.
    freshReceiverWithChannel(work + "/sound.wav", "Live", server.url() + "index.m3u8");

    // What the run waits for, in order; where it stops tells what did not come.
    enum Step { FirstPictures, HalfASecondLater, SoundEnough };
    const char* const kWaitingFor[] = {"the first pictures", "half a second of pictures",
                                       "a second and a half of sound"};
    Step step = FirstPictures;
    uint64_t picturesAtA = 0;
    std::string out;
    bool played = playChannelOne(
        [&](const emu::PlayerStatus& s) {
          if (step == FirstPictures && s.pictures >= 5) {
            a = emu::screen();
            picturesAtA = s.pictures;
            step = HalfASecondLater;
          } else if (step == HalfASecondLater && s.pictures >= picturesAtA + 13) {  // 25 pictures a second
            b = emu::screen();
            step = SoundEnough;
          }
          return step == SoundEnough && s.audioSeconds >= 1.5;
        },
        &out);
    ASSERT_TRUE(played) << "the run ended waiting for " << kWaitingFor[step] << ":\n" << out;

    EXPECT_NE(out.find("key 0x10001 consumed by the TAP"), std::string::npos) << out;
    EXPECT_NE(out.find("Appl_StartPlaybackMedia: playing /mnt/hd/MediaFiles/tmp/Stream.ts"), std::string::npos) << out;
    EXPECT_NE(out.find("Player: Stream.ts: video h264 320x180 25 fps, audio aac "
                       "48000 Hz 2 ch"),
              std::string::npos)
        << "the highest variant: " << out;
    EXPECT_NE(out.find("Player: stopped /mnt/hd/MediaFiles/tmp/Stream.ts: video "
                       "h264 320x180"),
              std::string::npos)
        << "Exit stops it, and the console says what was decoded: " << out;
    EXPECT_EQ(out.find("damaged"), std::string::npos) << out;
    EXPECT_NE(out.find("the TAP has ended itself (TAP_Exit)"), std::string::npos) << out;
    std::string why;
    EXPECT_TRUE(emu::savePng(a, work + "/a.png", &why)) << why;
    EXPECT_TRUE(emu::savePng(b, work + "/b.png", &why)) << why;
  });
  if (::testing::Test::HasFailure()) return;

  std::string error;
  ASSERT_TRUE(emu::loadPng(work + "/a.png", a, &error)) << error;
  ASSERT_TRUE(emu::loadPng(work + "/b.png", b, &error)) << error;
  EXPECT_EQ(a.pixels[50 * 720 + 700], 0xFF000000u) << "the 16:9 picture is letterboxed";
  std::vector<double> psnr = bestPsnr({a, b}, top.files, kPicture);
  std::printf(
      "PSNR of the screenshots against the best of ffmpeg's pictures: "
      "%.1f dB, %.1f dB\n",
      psnr[0], psnr[1]);
  EXPECT_GE(psnr[0], 30.0) << "the screen shows a picture of the stream";
  EXPECT_GE(psnr[1], 30.0);
  EXPECT_FALSE(samePicture(a, b)) << "half a second later the picture has moved";

  Wav wav = readWav(work + "/sound.wav");
  ASSERT_EQ(wav.rate, 48000u);
  EXPECT_GE(wav.left.size(), 72000u) << "the second and a half of sound that the run waited for";
  EXPECT_NEAR(dominantFrequency(wav.left, wav.rate), 1000.0, 20.0) << "the source's 1 kHz tone";
  removeAll(work);
}
