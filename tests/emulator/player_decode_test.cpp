// The player decodes real H.264 + AAC segments made by ffmpeg (the HLS test
// source's real video), paced by the virtual clock: the picture, its place in
// the plane, a growing file, a cut in the middle and the decoded tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "emulator/core/emulator.h"
#include "support/media.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kDir = "/mnt/hd/MediaFiles/decodetest";

void startPlaying(const std::string& content, const emu::Config& config = virtualConfig()) {
  freshReceiver(config);
  removeAll(kDir);
  writeFile(kDir + "/film.ts", content);
  uint8_t record[16] = {};
  std::memcpy(record, &FW_FolderRecordMarker, 4);
  ASSERT_EQ(emu::firmware::selectFolder(record, kDir.c_str() + 1), 0);
  emu::firmware::setWorkFolder(record);
  ASSERT_EQ(emu::firmware::startPlaybackMedia("film.ts", 0, true, false), 0);
}

std::string consoleWith(const std::string& text) {
  for (const auto& line : emu::consoleLines())
    if (line.find(text) != std::string::npos) return line;
  return "";
}

// Advances the virtual clock a tick at a time, as the idle events would.
void run(uint32_t ticks) {
  for (uint32_t i = 0; i < ticks; i += 10) emu::advanceTicks(10);
}

}  // namespace

TEST(PlayerDecode, ShowsThePicturesAtTheStreamsPaceAndEndsWhenTheFileStopsGrowing) {
  const RealSegments& seg = realSegments();
  startPlaying(seg.joined(0, seg.count()));
  emu::PlayerStatus s = emu::playerStatus();
  EXPECT_EQ(s.pictures, 0u);
  EXPECT_EQ(emu::screen().pixels[100 * 720 + 10], 0xFFBFBFBFu) << "colour bars before the first picture";

  run(100);
  s = emu::playerStatus();
  EXPECT_EQ(s.videoCodec, "h264");
  EXPECT_EQ(s.audioCodec, "aac");
  EXPECT_EQ(s.width, seg.width);
  EXPECT_EQ(s.height, seg.height);
  EXPECT_NE(s.firstPictureTick, 0u);
  uint64_t early = s.pictures;
  uint32_t earlyBlock = s.currentBlock;
  run(100);
  s = emu::playerStatus();
  // One second of a 25-frame stream later, about 25 pictures more: paced by
  // the timestamps, not as fast as the decoder goes.
  EXPECT_NEAR(static_cast<double>(s.pictures - early), 25.0, 3.0);
  EXPECT_NEAR(s.audioSeconds, static_cast<double>(s.pictures) / 25, 0.5);
  EXPECT_GT(s.currentBlock, earlyBlock);
  EXPECT_LT(s.currentBlock, s.totalBlock);
  TYPE_PlayInfo info;
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_EQ(info.totalBlock, seg.joined(0, seg.count()).size() / 188);
  EXPECT_EQ(info.currentBlock, s.currentBlock);

  // The picture fills the plane's width; a 16:9 picture is letterboxed.
  emu::Image shot = emu::screen();
  EXPECT_EQ(shot.pixels[10 * 720 + 360], 0xFF000000u) << "black bar above the picture";
  EXPECT_NE(shot.pixels[100 * 720 + 10], 0xFFBFBFBFu) << "no colour bars once pictures come";
  double psnr = bestPsnr({shot}, seg.files, {0, 100, 720, 476})[0];
  EXPECT_GE(psnr, 30.0) << "the plane shows one of the pictures that ffmpeg decodes";

  // Played out, the file does not grow: the player waits, then gives up.
  run(static_cast<uint32_t>(static_cast<double>(seg.count()) * seg.segmentSeconds * 100));
  EXPECT_TRUE(emu::playing()) << "waits at the end of the data for a while";
  run(emu::config().playerGiveUpTicks + 100);
  EXPECT_FALSE(emu::playing());
  std::string ended = consoleWith("playback ended, the file has not grown for 10 s");
  EXPECT_NE(ended.find("video h264"), std::string::npos) << ended;
  EXPECT_NE(ended.find("audio aac"), std::string::npos) << ended;
}

TEST(PlayerDecode, FollowsAGrowingFile) {
  const RealSegments& seg = realSegments();
  startPlaying(seg.joined(0, 2));
  run(400);
  uint64_t before = emu::playerStatus().pictures;
  EXPECT_LE(before, 2 * seg.segmentSeconds * 25 + 1) << "two segments hold no more";
  EXPECT_TRUE(emu::playing());
  writeFile(kDir + "/film.ts", seg.joined(0, 4));
  run(300);
  emu::PlayerStatus s = emu::playerStatus();
  EXPECT_GE(s.pictures, before + 40) << "goes on with what was appended";
  EXPECT_EQ(s.damagedStretches, 0u);
}

TEST(PlayerDecode, SkipsACutStretchAndPlaysOnPastIt) {
  const RealSegments& seg = realSegments();
  std::string middle = seg.segment(2);
  // A download that lost the middle third of a segment.
  std::string cut = middle.substr(0, middle.size() / 3 / 188 * 188) + middle.substr(middle.size() * 2 / 3 / 188 * 188);
  std::string file = seg.joined(0, 2) + cut + seg.joined(3, seg.count());
  startPlaying(file);
  run(static_cast<uint32_t>(static_cast<double>(seg.count()) * seg.segmentSeconds * 100) + 300);
  emu::PlayerStatus s = emu::playerStatus();
  EXPECT_TRUE(s.playing);
  EXPECT_GE(s.damagedStretches, 1u);
  EXPECT_NE(consoleWith("damaged video at block"), "");
  std::string again = consoleWith("pictures again from block");
  EXPECT_NE(again, "");
  // The pictures of the cut part of the segment and those that lean on them.
  EXPECT_EQ(again.find("(0 damaged"), std::string::npos) << again;
  // Every picture after the cut segment is shown: the last segment's too.
  EXPECT_GE(static_cast<double>(s.pictures), static_cast<double>(seg.count() - 1) * seg.segmentSeconds * 25 - 2);
  EXPECT_EQ(s.currentBlock, s.totalBlock) << "played to the end";
}

TEST(PlayerDecode, WritesTheDecodedToneAsWav) {
  const RealSegments& seg = realSegments();
  char name[] = "/tmp/orvado-wav-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  emu::Config config = virtualConfig();
  config.audioFile = std::string(name) + "/sound.wav";
  startPlaying(seg.joined(0, seg.count()), config);
  run(300);
  Wav wav = readWav(config.audioFile);
  ASSERT_EQ(wav.rate, 48000u);
  ASSERT_GE(wav.left.size(), 48000u * 2) << "two seconds and more";
  EXPECT_NEAR(dominantFrequency(wav.left, wav.rate), 1000.0, 20.0);
  removeAll(name);
}

TEST(PlayerDecode, DecodesMpeg2WithMp2AndAc3Sound) {
  struct Case {
    const char* audio;
    const char* name;
  } cases[] = {{"mp2", "mp2"}, {"ac3", "ac3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A portrait picture, so that it is pillarboxed.
    std::string path = "/tmp/orvado-mpeg2-" + std::string(c.name) + ".ts";
    ASSERT_EQ(system(("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=240x320:rate=25 "
                      "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 2 -c:v mpeg2video -b:v 1M -c:a " +
                      std::string(c.audio) + " -f mpegts " + path)
                         .c_str()),
              0);
    startPlaying(readFile(path));
    removeAll(path);
    run(150);
    emu::PlayerStatus s = emu::playerStatus();
    EXPECT_EQ(s.videoCodec, "mpeg2video");
    EXPECT_EQ(s.audioCodec, c.name);
    EXPECT_NEAR(static_cast<double>(s.pictures), 30.0, 8.0) << "1.3 s of pictures";
    EXPECT_GT(s.audioSeconds, 0.8);
    emu::Image shot = emu::screen();
    EXPECT_EQ(shot.pixels[288 * 720 + 100], 0xFF000000u) << "black beside the picture";
    EXPECT_NE(shot.pixels[288 * 720 + 360], 0xFF000000u);
  }
}

// HEVC, which a receiver of this kind cannot decode: no picture is shown
// while the sound plays, and the console says what was refused.
TEST(PlayerDecode, RefusesPicturesTheReceiverCannotDecode) {
  std::string path = "/tmp/orvado-hevc.ts";
  ASSERT_EQ(system(("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                    "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 2 -c:v libx265 -x265-params log-level=none "
                    "-c:a aac -f mpegts " +
                    path)
                       .c_str()),
            0);
  startPlaying(readFile(path));
  removeAll(path);
  run(150);
  emu::PlayerStatus s = emu::playerStatus();
  EXPECT_EQ(s.videoCodec, "");
  EXPECT_EQ(s.pictures, 0u);
  EXPECT_EQ(s.audioCodec, "aac");
  EXPECT_GT(s.audioSeconds, 0.8) << "the sound plays";
  bool told = false;
  for (const std::string& line : emu::consoleLines())
    told = told || line.find("the receiver does not decode video hevc 320x240") != std::string::npos;
  EXPECT_TRUE(told);
}

TEST(PlayerDecode, TheVirtualClockMakesEveryRunTheSame) {
  const RealSegments& seg = realSegments();
  writeFile("/tmp/orvado-same.ts", seg.joined(0, seg.count()));
  uint64_t pictures = 0;
  auto trace = [&pictures] {
    emu::FilePlayback playback("/tmp/orvado-same.ts", 0, 100);
    std::ostringstream out;
    emu::Image plane;
    for (uint32_t now = 0; now < 300 && playback.advance(now); now += 10) {
      emu::PlayerStatus s = playback.status();
      out << now << ": " << s.currentBlock << " " << s.pictures << " " << s.audioSeconds;
      if (now % 50 == 0 && playback.picture(plane)) out << " " << plane.pixels[300 * 720 + 200];
      out << "\n";
      pictures = s.pictures;
    }
    return out.str();
  };
  std::string first = trace();
  EXPECT_GT(pictures, 50u) << first;
  EXPECT_EQ(trace(), first) << "the decoding threads never change what is shown when";
  removeAll("/tmp/orvado-same.ts");
}
