// Streams as ffmpeg's own HLS muxer makes them, made in the test and served
// as files by the local source while ffmpeg writes them: sound in a
// rendition of its own, byte ranges of one growing file, a dead best
// variant, gzip lists, a VOD list, AES-128 and HTTPS. The TAP plays each
// through the emulator's run loop with the real wget and the decoding
// player; Stream.ts must be a run of the played variant's segments, byte for
// byte (decrypted where they are encrypted), and the tone must come through
// where the variant carries sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/ffmpeg_hls.h"
#include "support/hls_server.h"
#include "support/media.h"
#include "support/test_ca.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kStreamTs = "/mnt/hd/MediaFiles/tmp/Stream.ts";
const std::string kKeyHex = "00112233445566778899aabbccddeeff";
const std::string kIvHex = "0f0e0d0c0b0a09080706050403020100";

struct Case {
  const char* name;
  std::vector<std::string> maps;   // ffmpeg's maps and codec options ahead of the HLS ones
  std::vector<std::string> hls;    // further HLS muxer options, the playlist name last
  const char* playlist;            // what the channel names
  const char* played;              // the segments the TAP must play: "v1_" for v1_N.ts, or one file
  bool live;                       // made at the pace of the clock while the TAP plays
  std::vector<std::string> serve;  // options of the local source
  bool sound;                      // the played variant carries the tone
  const char* word;                // a status word the user must be shown, or ""
};

const std::vector<std::string> kOneVariant = {"-map", "0:v", "-map", "1:a"};
const std::vector<std::string> kTwoVariants = {"-map",      "0:v",  "-map",   "0:v",    "-map",
                                               "1:a",       "-map", "1:a",    "-b:v:0", "800k",
                                               "-b:v:1",    "300k", "-s:v:1", "160x90", "-master_pl_name",
                                               "index.m3u8"};

const Case kCases[] = {
    {"SoundApartInTheBestVariant",
     kTwoVariants,
     {"-var_stream_map", "v:0,agroup:aud v:1,a:0 a:1,agroup:aud", "-hls_segment_filename", "v%v_%d.ts", "v%v.m3u8"},
     "index.m3u8",
     "v1_",
     true,
     {},
     true,
     ""},
    {"ByteRangesOfOneGrowingFile",
     kOneVariant,
     {"-hls_flags", "single_file", "-hls_segment_filename", "all.ts", "list.m3u8"},
     "list.m3u8",
     "all.ts",
     true,
     {},
     true,
     ""},
    {"DeadBestVariant",
     kTwoVariants,
     {"-var_stream_map", "v:0,a:0 v:1,a:1", "-hls_segment_filename", "v%v_%d.ts", "v%v.m3u8"},
     "index.m3u8",
     "v1_",
     true,
     {"--fail-playlist", "v0.m3u8:404"},
     true,
     "Lower variant"},
    {"DeadBestVariantSegments",
     kTwoVariants,
     {"-var_stream_map", "v:0,a:0 v:1,a:1", "-hls_segment_filename", "v%v_%d.ts", "v%v.m3u8"},
     "index.m3u8",
     "v1_",
     true,
     {"--fail-playlist", "v0_*.ts:404"},
     true,
     "Lower variant"},
    // HEVC above H.264, as ffmpeg labels them in the master: the receiver
    // decodes only the lower one. Made whole first: x265 is slower than
    // the clock here.
    {"HevcAboveH264",
     kTwoVariants,
     {"-c:v:0", "libx265", "-tag:v:0", "hvc1", "-var_stream_map", "v:0,a:0 v:1,a:1", "-hls_playlist_type", "vod",
      "-hls_segment_filename", "v%v_%d.ts", "v%v.m3u8"},
     "index.m3u8",
     "v1_",
     false,
     {},
     true,
     ""},
    // A window of three 1-second segments: fetched every 3 s, it would let
    // segments pass unseen.
    {"ShortWindow",
     kOneVariant,
     {"-hls_list_size", "3", "-hls_segment_filename", "seg_%d.ts", "list.m3u8"},
     "list.m3u8",
     "seg_",
     true,
     {},
     true,
     ""},
    {"GzipLists",
     kOneVariant,
     {"-hls_segment_filename", "seg_%d.ts", "list.m3u8"},
     "list.m3u8",
     "seg_",
     true,
     {"--gzip"},
     true,
     ""},
    {"VodList",
     kOneVariant,
     {"-hls_playlist_type", "vod", "-hls_segment_filename", "seg_%d.ts", "list.m3u8"},
     "list.m3u8",
     "seg_",
     false,
     {},
     true,
     ""},
    {"Aes128",
     kOneVariant,
     {"-hls_key_info_file", "key.info", "-hls_segment_filename", "seg_%d.ts", "list.m3u8"},
     "list.m3u8",
     "seg_",
     true,
     {},
     true,
     ""},
    // Radio: sound alone at 64 kb/s. The player starts on 20 seconds of it,
    // long before 7,000,000 bytes, and the black screen is explained.
    {"Radio",
     {"-map", "1:a"},
     {"-hls_segment_filename", "seg_%d.ts", "list.m3u8"},
     "list.m3u8",
     "seg_",
     true,
     {},
     true,
     "Sound only"},
    {"Https",
     kOneVariant,
     {"-hls_segment_filename", "seg_%d.ts", "list.m3u8"},
     "list.m3u8",
     "seg_",
     true,
     {"--tls"},
     true,
     ""},
};

std::string hexBytes(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The played variant's segments in order as the server holds them (the
// plain bytes, for encrypted ones), and where each begins.
struct Segments {
  std::string bytes;
  std::vector<size_t> starts;
};

Segments playedSegments(const std::string& folder, const Case& c, bool encrypted) {
  Segments s;
  std::string played = c.played;
  if (played.size() > 3 && played.compare(played.size() - 3, 3, ".ts") == 0) {
    s.bytes = readFile(folder + "/" + played);
    return s;  // one file: any packet may begin a range
  }
  const std::string decrypt = "openssl enc -d -aes-128-cbc -K " + kKeyHex + " -iv " + kIvHex + " -in ";
  for (int n = 0;; ++n) {
    std::string file = folder;
    file.append("/").append(played).append(std::to_string(n)).append(".ts");
    if (!exists(file)) break;
    s.starts.push_back(s.bytes.size());
    s.bytes += encrypted ? commandOutput(decrypt + file) : readFile(file);
  }
  return s;
}

class HlsFromFfmpeg : public ::testing::TestWithParam<Case> {};

TEST_P(HlsFromFfmpeg, PlaysAndStreamTsIsARunOfTheSegments) {
  const Case& c = GetParam();
  const bool tls = !c.serve.empty() && c.serve[0] == "--tls";
  const bool encrypted = std::string(c.name) == "Aes128";
  const bool radio = std::string(c.name) == "Radio";

  // Padded to 16 Mbit/s: each segment of a second adds 2 MB, so the
  // 7,000,000 bytes that start the player come within a few steps.
  std::vector<std::string> output = joined(c.maps, {kH264Picture, kAacSound});
  output.insert(output.end(), {"-f", "hls", "-hls_time", "1", "-hls_list_size", "5"});
  if (!radio) output.insert(output.end(), {"-hls_segment_options", "muxrate=16000000"});
  output.insert(output.end(), c.hls.begin(), c.hls.end());
  std::map<std::string, std::string> files;
  if (encrypted) files = {{"key.bin", hexBytes(kKeyHex)}, {"key.info", "key.bin\nkey.bin\n" + kIvHex + "\n"}};
  FfmpegHls ffmpeg(output, c.live, c.live ? 60 : 8, files);
  ASSERT_FALSE(ffmpeg.folder().empty());
  const std::string media = c.hls.back().find("%v") != std::string::npos ? "v0.m3u8" : c.hls.back();
  if (c.live)
    ASSERT_TRUE(ffmpeg.waitFor(media, "#EXTINF", std::string(c.name) == "ShortWindow" ? 3 : 4, 60))
        << "ffmpeg made no live stream";
  else
    ASSERT_TRUE(ffmpeg.finish()) << "ffmpeg made no VOD stream";

  std::string dir = ffmpeg.folder() + "/ca";
  TestCa ca;
  std::vector<std::string> serve = {"--serve-dir", ffmpeg.folder(), "--stop-after", "170"};
  if (tls) {
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    ASSERT_TRUE(makeTestCa(dir, &ca));
    serve.insert(serve.end(), {"--tls", ca.certPem, ca.keyPem});
  } else {
    serve.insert(serve.end(), c.serve.begin(), c.serve.end());
  }
  HlsServer server(serve);
  ASSERT_FALSE(server.url().empty()) << server.line();

  const std::string work = ffmpeg.folder() + "/run";
  ASSERT_EQ(system(("mkdir -p " + work).c_str()), 0);
  inFreshProcess([&] {
    if (tls) {
      ASSERT_TRUE(trustOnDisk(&ca));
    }
    freshReceiverWithChannel(work + "/sound.wav", "Ffmpeg", server.url() + c.playlist);
    std::string out;
    uint32_t keyTick = 0, soundTick = 0;  // the first look comes with the digit
    bool played = playChannelOne(
        [&](const emu::PlayerStatus& s) {
          if (keyTick == 0) keyTick = emu::ticks();
          if (soundTick == 0 && s.audioSeconds > 0) soundTick = emu::ticks();
          if (!(c.sound ? s.audioSeconds >= 1.5 : s.pictures >= 40)) return false;
          writeFile(work + "/Stream.ts", readFile(kStreamTs));  // what the TAP appended so far
          return true;
        },
        &out);
    writeFile(work + "/console.txt", out);
    ASSERT_TRUE(played) << "the run ended before the picture" << (c.sound ? " and sound" : "") << " came:\n" << out;
    if (*c.word != '\0') {
      EXPECT_NE(out.find(std::string("Orvado: ") + c.word + ":"), std::string::npos) << out;
    }
    EXPECT_EQ(out.find("damaged"), std::string::npos) << out;
    if (radio) {
      EXPECT_LT(soundTick - keyTick, 3000u) << "the sound within 30 s of the digit";
    }
  });
  if (::testing::Test::HasFailure()) return;

  const std::string stream = readFile(work + "/Stream.ts");
  const Segments segments = playedSegments(ffmpeg.folder(), c, encrypted);
  ASSERT_GE(stream.size(), radio ? 188u * 500 : 3u * 188 * 1000) << "Stream.ts holds a few segments";
  size_t at = segments.bytes.find(stream);
  ASSERT_NE(at, std::string::npos) << "Stream.ts is not a run of " << c.played << "N.ts as served:\n"
                                   << readFile(work + "/console.txt");
  if (segments.starts.empty())
    EXPECT_EQ(at % 188, 0u);
  else
    EXPECT_TRUE(std::find(segments.starts.begin(), segments.starts.end(), at) != segments.starts.end())
        << "Stream.ts begins where a segment begins";
  if (c.sound) {
    Wav wav = readWav(work + "/sound.wav");
    ASSERT_EQ(wav.rate, 48000u);
    EXPECT_GE(wav.left.size(), 72000u) << "a second and a half of sound";
    EXPECT_NEAR(dominantFrequency(wav.left, wav.rate), 1000.0, 20.0) << "the source's 1 kHz tone";
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, HlsFromFfmpeg, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
