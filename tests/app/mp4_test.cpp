// Fragmented MP4 made TS, where the end-to-end test's stream cannot reach:
// times far past its first minutes, and the composition offsets and edit
// list of a stream with B-frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "app/Mp4.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

TEST(Mp4Times, To90kIsExactForAnyTimeAndTimescale) {
  const uint32_t scales[] = {1, 1000, 12800, 44100, 48000, 90000, 1000000, 0xFFFFFFFFu};
  const uint64_t times[] = {
      0, 1, 47999, 48000, 0xFFFFFFFFull, 0x100000000ull, 1234567890123ull, 0x1FFFFFFFFull * 7, 0xFFFFFFFFFFFFFFFFull};
  for (uint32_t scale : scales) {
    for (uint64_t t : times) {
#ifdef __SIZEOF_INT128__
      auto exact = static_cast<uint64_t>(static_cast<unsigned __int128>(t) * 90000u / scale);
#else
      // A 32-bit target has no 128-bit type: whole units and the rest, in
      // the low 64 bits as the cast above keeps them.
      uint64_t exact = t / scale * 90000u + t % scale * 90000u / scale;
#endif
      EXPECT_EQ(static_cast<uint64_t>(mp4::To90k(t, scale)), exact) << t << " / " << scale;
    }
  }
}

// The mp4 fuzz target's seed of H.264 with B-frames and MP3 sound: its
// pictures must come out in decode order with their presentation times
// after their decode times, the first one shown when the sound starts.
TEST(Fmp4ToTs, BFramesKeepTheirPresentationTimes) {
  freshReceiver();
  std::string seed = readFile(std::string(ORVADO_SOURCE_DIR) + "/tests/fuzz/corpus/mp4/h264_bframes_mp3");
  ASSERT_GT(seed.size(), 8u);
  size_t initSize = mp4::Be32(reinterpret_cast<const uint8_t*>(seed.data()));
  static mp4::Init init;
  ASSERT_EQ(mp4::ReadInit(reinterpret_cast<const uint8_t*>(seed.data()) + 4, initSize, &init), mp4::INIT_OK);
  char dir[] = "/tmp/orvado-mp4-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string segment = std::string(dir) + "/seg.m4s", ts = std::string(dir) + "/seg.ts";
  writeFile(segment, seed.substr(4 + initSize));
  int in = open(segment.c_str(), O_RDONLY);
  int out = open(ts.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  static TsWriter w;
  TsWriterReset(&w);
  EXPECT_EQ(mp4::Fmp4ToTs(in, init, &w, out), mp4::CONVERT_OK);
  close(in);
  close(out);

  EXPECT_EQ(commandOutput("ffmpeg -v error -i " + ts + " -f null - 2>&1"), "") << "decodes without an error";
  std::istringstream packets(
      commandOutput("ffprobe -v error -show_entries packet=codec_type,pts,dts -of csv=p=0 " + ts + " 2>&1"));
  int pictures = 0, reordered = 0;
  long long firstPicture = -1, firstSound = -1, lastDts = -1;
  for (std::string line; std::getline(packets, line);) {
    std::istringstream fields(line);
    std::string type, pts, dts;
    std::getline(fields, type, ',');
    std::getline(fields, pts, ',');
    std::getline(fields, dts, ',');
    if (type == "audio" && firstSound < 0) firstSound = std::stoll(pts);
    if (type != "video") continue;
    ++pictures;
    long long p = std::stoll(pts), d = std::stoll(dts);
    EXPECT_GE(p, d);
    EXPECT_GT(d, lastDts) << "decode order";
    lastDts = d;
    reordered += p != d;
    if (firstPicture < 0 || p < firstPicture) firstPicture = p;
  }
  EXPECT_GE(pictures, 4);
  EXPECT_GT(reordered, 0) << "B-frames are shown later than they are decoded";
  EXPECT_EQ(firstPicture, firstSound) << "the edit list's shift is taken off the pictures";
  removeAll(dir);
}

}  // namespace
