// A live radio station as packed audio: ffmpeg encodes the 1 kHz tone as
// ADTS AAC in two-second pieces, and a packager process of the test's own
// puts each behind an ID3 tag with its transport stream timestamp and keeps
// a sliding list, as stations serve it. The TAP plays it through the
// emulator with the real wget and the decoding player: the tone must come
// through, and Stream.ts must be transport stream that ffprobe reads
// without an error, its times rising.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/ffmpeg_hls.h"
#include "support/hls_server.h"
#include "support/media.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kStreamTs = "/mnt/hd/MediaFiles/tmp/Stream.ts";
constexpr int64_t kFirstTime = 10 * 90000;

std::string Syncsafe(uint32_t n) {
  return {static_cast<char>((n >> 21) & 0x7F), static_cast<char>((n >> 14) & 0x7F), static_cast<char>((n >> 7) & 0x7F),
          static_cast<char>(n & 0x7F)};
}

// The ID3v2.4 tag that opens each piece: a PRIV frame with its 90 kHz time.
std::string TimestampTag(int64_t ts) {
  std::string body = std::string("com.apple.streaming.transportStreamTimestamp") + '\0';
  for (int i = 7; i >= 0; --i) body += static_cast<char>((ts >> (8 * i)) & 0xFF);
  std::string frame = "PRIV" + Syncsafe(static_cast<uint32_t>(body.size())) + std::string(2, '\0') + body;
  return std::string("ID3\4\0\0", 6) + Syncsafe(static_cast<uint32_t>(frame.size())) + frame;
}

// ADTS frames in `aac` (whole ones only).
size_t AdtsFrames(const std::string& aac) {
  size_t frames = 0;
  for (size_t at = 0; at + 7 <= aac.size(); ++frames) {
    const auto* p = reinterpret_cast<const unsigned char*>(aac.data() + at);
    size_t length = ((p[3] & 0x03) << 11) | (p[4] << 3) | (p[5] >> 5);
    if (p[0] != 0xFF || length < 7 || at + length > aac.size()) break;
    at += length;
  }
  return frames;
}

void WriteAtomically(const std::string& path, const std::string& content) {
  writeFile(path + ".part", content);
  std::rename((path + ".part").c_str(), path.c_str());
}

// The packager, as a process of its own until it is killed: each piece that
// ffmpeg's segment list names as done becomes seg_N.aac, tagged, and the
// last five make list.m3u8.
pid_t StartPackager(const std::string& folder) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int64_t time = kFirstTime;
  std::vector<std::string> entries;
  for (int n = 0, idle = 0; idle < 1200; ++idle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string done = folder + "/raw.m3u8";
    if (!exists(done) || readFile(done).find("raw_" + std::to_string(n) + ".aac") == std::string::npos) continue;
    std::string aac = readFile(folder + "/raw_" + std::to_string(n) + ".aac");
    size_t frames = AdtsFrames(aac);
    WriteAtomically(folder + "/seg_" + std::to_string(n) + ".aac", TimestampTag(time) + aac);
    char extinf[64];
    std::snprintf(extinf, sizeof extinf, "#EXTINF:%.6f,\n", static_cast<double>(frames) * 1024 / 48000);
    entries.push_back(extinf + ("seg_" + std::to_string(n) + ".aac\n"));
    time += static_cast<int64_t>(frames) * 1024 * 90000 / 48000;
    size_t first = entries.size() > 5 ? entries.size() - 5 : 0;
    std::string list =
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:3\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(first) + "\n";
    for (size_t i = first; i < entries.size(); ++i) list += entries[i];
    WriteAtomically(folder + "/list.m3u8", list);
    ++n;
    idle = 0;
  }
  _exit(0);
}

TEST(PackedAudio, LiveStationPlaysAndStreamTsIsTransportStream) {
  FfmpegHls ffmpeg(joined({"-map", "1:a"},
                          {kAacSound,
                           {"-f", "segment", "-segment_time", "2", "-segment_format", "adts", "-segment_list",
                            "raw.m3u8", "-segment_list_type", "m3u8", "-segment_list_flags", "+live", "raw_%d.aac"}}),
                   true, 60);
  ASSERT_FALSE(ffmpeg.folder().empty());
  pid_t packager = StartPackager(ffmpeg.folder());
  ASSERT_GT(packager, 0);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } reaper{packager};
  ASSERT_TRUE(ffmpeg.waitFor("list.m3u8", "#EXTINF", 3, 60)) << "no packed audio list";
  HlsServer server({"--serve-dir", ffmpeg.folder(), "--stop-after", "170"});
  ASSERT_FALSE(server.url().empty()) << server.line();

  const std::string work = ffmpeg.folder() + "/run";
  ASSERT_EQ(system(("mkdir -p " + work).c_str()), 0);
  inFreshProcess([&] {
    freshReceiverWithChannel(work + "/sound.wav", "Radio", server.url() + "list.m3u8");
    std::string out;
    bool played = playChannelOne(
        [&](const emu::PlayerStatus& s) {
          if (s.audioSeconds < 10.5) return false;
          writeFile(work + "/Stream.ts", readFile(kStreamTs));
          return true;
        },
        &out);
    ASSERT_TRUE(played) << "the run ended before ten seconds of sound:\n" << out;
    EXPECT_EQ(out.find("Start ts err"), std::string::npos) << out;
    EXPECT_EQ(out.find("Read err"), std::string::npos) << out;
  });
  if (::testing::Test::HasFailure()) return;

  expectTenSecondsOfTone(work + "/sound.wav");

  const std::string stream = work + "/Stream.ts";
  std::string probed =
      commandOutput("ffprobe -v error -show_entries packet=pts -of default=nw=1:nk=1 " + stream + " 2>&1");
  std::vector<long long> times;
  for (size_t at = 0; at < probed.size();) {
    size_t end = probed.find('\n', at);
    if (end == std::string::npos) end = probed.size();
    std::string line = probed.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    ASSERT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << "ffprobe: " << line;
    times.push_back(std::stoll(line));
  }
  ASSERT_GE(times.size(), 12u * 48000 / 1024) << "Stream.ts holds twelve seconds of sound";
  EXPECT_GE(times[0], kFirstTime) << "times from the tags";
  for (size_t i = 1; i < times.size(); ++i) ASSERT_GT(times[i], times[i - 1]) << "packet " << i;
  // The frames follow on one from the other, without gaps or overlaps.
  EXPECT_EQ(times.back() - times[0], static_cast<long long>(times.size() - 1) * 1920);
}

}  // namespace
