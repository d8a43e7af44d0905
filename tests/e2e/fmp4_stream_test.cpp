// Live fragmented MP4 (CMAF) as ffmpeg's HLS muxer makes it, H.264 and AAC:
// .m4s segments beside an init segment named by #EXT-X-MAP, or byte ranges
// of one growing file whose map is a range too. The TAP makes each segment
// TS as it appends it; the emulator's player must decode picture and the
// source's tone from Stream.ts, and ffprobe must read Stream.ts without an
// error, each stream's timestamps rising.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/ffmpeg_hls.h"
#include "support/hls_server.h"
#include "support/media.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kStreamTs = "/mnt/hd/MediaFiles/tmp/Stream.ts";

// The layouts of ffmpeg's fMP4: segments of their own beside an init file,
// or byte ranges of one growing file that opens with the init segment.
struct Layout {
  const char* name;
  std::vector<std::string> hls;  // HLS muxer options after the common ones
  const char* map;               // the #EXT-X-MAP line the list must hold
};

const Layout kLayouts[] = {
    {"SegmentFiles",
     {"-hls_fmp4_init_filename", "init.mp4", "-hls_segment_filename", "seg_%d.m4s"},
     "#EXT-X-MAP:URI=\"init.mp4\""},
    {"ByteRangesOfOneFile", {"-hls_flags", "single_file"}, "#EXT-X-MAP:URI=\"list.m4s\",BYTERANGE="},
};

class HlsFmp4 : public ::testing::TestWithParam<Layout> {};

TEST_P(HlsFmp4, LiveH264AndAacPlayFromTheTsMadeOfThem) {
  const Layout& layout = GetParam();
  // Constant 16 Mbit/s (x264 pads with filler units): the 7,000,000 bytes
  // that start the player come within a few segments of a second.
  std::vector<std::string> output = joined({"-map", "0:v", "-map", "1:a"}, {kH264Picture, kAacSound});
  output.insert(output.end(),
                {"-b:v", "16M", "-minrate", "16M", "-maxrate", "16M", "-bufsize", "2M", "-x264-params", "nal-hrd=cbr",
                 "-f", "hls", "-hls_time", "1", "-hls_list_size", "5", "-hls_segment_type", "fmp4"});
  output.insert(output.end(), layout.hls.begin(), layout.hls.end());
  output.push_back("list.m3u8");
  FfmpegHls ffmpeg(output, true, 60);
  ASSERT_FALSE(ffmpeg.folder().empty());
  ASSERT_TRUE(ffmpeg.waitFor("list.m3u8", "#EXTINF", 4, 60)) << "ffmpeg made no live stream";
  ASSERT_NE(readFile(ffmpeg.folder() + "/list.m3u8").find(layout.map), std::string::npos);

  HlsServer server({"--serve-dir", ffmpeg.folder(), "--stop-after", "170"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  const std::string work = ffmpeg.folder() + "/run";
  ASSERT_EQ(system(("mkdir -p " + work).c_str()), 0);
  inFreshProcess([&] {
    freshReceiverWithChannel(work + "/sound.wav", "Fmp4", server.url() + "list.m3u8");
    std::string out;
    emu::PlayerStatus seen;
    bool played = playChannelOne(
        [&](const emu::PlayerStatus& s) {
          if (s.audioSeconds < 10.5) return false;
          seen = s;
          writeFile(work + "/Stream.ts", readFile(kStreamTs));
          return true;
        },
        &out);
    ASSERT_TRUE(played) << "the run ended before ten seconds of sound came:\n" << out;
    EXPECT_EQ(seen.videoCodec, "h264");
    EXPECT_EQ(seen.audioCodec, "aac");
    EXPECT_GE(seen.pictures, 200u) << "pictures along with the sound";
    EXPECT_EQ(seen.damagedStretches, 0u);
    EXPECT_EQ(out.find("damaged"), std::string::npos) << out;
    EXPECT_EQ(out.find("Read err"), std::string::npos) << out;
  });
  if (::testing::Test::HasFailure()) return;

  Wav wav = readWav(work + "/sound.wav");
  ASSERT_EQ(wav.rate, 48000u);
  EXPECT_GE(wav.left.size(), 480000u) << "ten seconds of sound";
  EXPECT_NEAR(dominantFrequency(wav.left, wav.rate), 1000.0, 20.0) << "the source's 1 kHz tone";

  const std::string ts = work + "/Stream.ts";
  const std::string stream = readFile(ts);
  ASSERT_GE(stream.size(), 7000000u);
  EXPECT_EQ(stream.size() % 188, 0u);
  EXPECT_EQ(commandOutput("ffprobe -v error -show_streams " + ts + " 2>&1 >/dev/null"), "") << "ffprobe's errors";
  // Each stream's decode times rise from packet to packet.
  std::istringstream packets(
      commandOutput("ffprobe -v error -show_entries packet=stream_index,dts -of csv=p=0 " + ts + " 2>/dev/null"));
  std::map<int, long long> last;
  std::map<int, int> count;
  int falls = 0;
  for (std::string line; std::getline(packets, line);) {
    int index = 0;
    long long dts = 0;
    if (std::sscanf(line.c_str(), "%d,%lld", &index, &dts) != 2) continue;
    if (last.count(index) && dts <= last[index]) ++falls;
    last[index] = dts;
    ++count[index];
  }
  EXPECT_EQ(count.size(), 2u) << "a picture and a sound stream";
  for (const auto& [index, n] : count) EXPECT_GE(n, 100) << "packets of stream " << index;
  EXPECT_EQ(falls, 0) << "decode times that do not rise";
}

INSTANTIATE_TEST_SUITE_P(Layouts, HlsFmp4, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& param) { return std::string(param.param.name); });

}  // namespace
