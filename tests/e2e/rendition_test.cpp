// Sound in a rendition of its own, as ffmpeg's HLS packager makes it with a
// master playlist: the picture's variant and an AUDIO group whose list
// carries the tone in segments of their own. The TAP fetches both lists and
// both segment runs and merges them into the one Stream.ts: the emulator's
// player must decode picture and sound, and ffprobe must read Stream.ts as
// one program with both, without an error, each track's times rising.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/ffmpeg_hls.h"
#include "support/hls_server.h"
#include "support/media.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kStreamTs = "/mnt/hd/MediaFiles/tmp/Stream.ts";

// The segments as transport stream, or as fragmented MP4 (each list with its
// own init segment).
class HlsRendition : public ::testing::TestWithParam<const char*> {};

TEST_P(HlsRendition, SoundFromItsOwnRenditionPlaysWithThePicture) {
  const std::string type = GetParam();
  std::vector<std::string> output = joined({"-map", "1:a", "-map", "0:v"}, {kAacSound, kH264Picture});
  output.insert(output.end(), {"-f", "hls", "-hls_time", "1", "-hls_list_size", "6", "-master_pl_name", "index.m3u8",
                               "-var_stream_map", "a:0,agroup:aud v:0,agroup:aud", "-hls_segment_type", type});
  if (type == "fmp4") output.insert(output.end(), {"-hls_fmp4_init_filename", "init.mp4"});
  output.insert(output.end(), {"-hls_segment_filename", type == "fmp4" ? "v%v_%d.m4s" : "v%v_%d.ts", "v%v.m3u8"});
  FfmpegHls ffmpeg(output, true, 120);
  ASSERT_FALSE(ffmpeg.folder().empty());
  ASSERT_TRUE(ffmpeg.waitFor("v1.m3u8", "#EXTINF", 4, 60)) << "ffmpeg made no live stream";
  ASSERT_NE(readFile(ffmpeg.folder() + "/index.m3u8").find("TYPE=AUDIO"), std::string::npos)
      << readFile(ffmpeg.folder() + "/index.m3u8");
  HlsServer server({"--serve-dir", ffmpeg.folder(), "--stop-after", "170"});
  ASSERT_FALSE(server.url().empty()) << server.line();

  const std::string work = ffmpeg.folder() + "/run";
  ASSERT_EQ(system(("mkdir -p " + work).c_str()), 0);
  inFreshProcess([&] {
    freshReceiverWithChannel(work + "/sound.wav", "Rendition", server.url() + "index.m3u8");
    std::string out;
    uint64_t pictures = 0;
    bool played = playChannelOne(
        [&](const emu::PlayerStatus& s) {
          if (s.audioSeconds < 10.5) return false;
          pictures = s.pictures;
          writeFile(work + "/Stream.ts", readFile(kStreamTs));
          return true;
        },
        &out);
    writeFile(work + "/console.txt", out);
    ASSERT_TRUE(played) << "the run ended before ten seconds of sound:\n" << out;
    EXPECT_GE(pictures, 250u) << "ten seconds of pictures at 25 a second";
    EXPECT_EQ(out.find("Sound apart"), std::string::npos) << out;
    EXPECT_EQ(out.find("Read err"), std::string::npos) << out;
    EXPECT_EQ(out.find("damaged"), std::string::npos) << out;
  });
  if (::testing::Test::HasFailure()) return;

  expectTenSecondsOfTone(work + "/sound.wav");

  const std::string stream = work + "/Stream.ts";
  // The program's streams, one a line (csv closes the program with a blank line).
  std::string codecs =
      commandOutput("ffprobe -v error -show_entries program_stream=codec_name -of csv=p=0 " + stream + " 2>&1");
  while (codecs.size() >= 2 && codecs.compare(codecs.size() - 2, 2, "\n\n") == 0) codecs.pop_back();
  EXPECT_EQ(codecs, "h264\naac\n") << "one program, with picture and sound, and no error";
  std::string probed =
      commandOutput("ffprobe -v error -show_entries packet=stream_index,dts -of csv=p=0 " + stream + " 2>&1");
  std::map<int, std::vector<long long>> times;
  for (size_t at = 0; at < probed.size();) {
    size_t end = probed.find('\n', at);
    if (end == std::string::npos) end = probed.size();
    std::string line = probed.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    size_t comma = line.find(',');
    ASSERT_TRUE(comma != std::string::npos && line.find_first_not_of("0123456789,") == std::string::npos)
        << "ffprobe: " << line;
    times[std::stoi(line.substr(0, comma))].push_back(std::stoll(line.substr(comma + 1)));
  }
  ASSERT_EQ(times.size(), 2u) << "picture and sound";
  for (const auto& [track, t] : times) {
    ASSERT_GE(t.size(), 100u) << "track " << track;
    for (size_t i = 1; i < t.size(); ++i) ASSERT_GT(t[i], t[i - 1]) << "track " << track << ", packet " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Segments, HlsRendition, ::testing::Values("mpegts", "fmp4"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param) == "fmp4" ? "Fmp4" : "Ts";
                         });

}  // namespace
