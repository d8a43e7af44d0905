// The HLS test source's real video as a downloader sees it: the variants'
// bandwidths, a live window whose loop restarts are marked, and segments that
// append into one stream with unbroken continuity counters.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "support/hls_server.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

std::string fetch(const std::string& url) { return commandOutput("wget -q -O - '" + url + "'"); }

// The first place where a PID's continuity counter breaks, or -1.
long continuityBreak(const std::string& ts) {
  std::map<int, int> last;
  for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
    const auto* p = reinterpret_cast<const uint8_t*>(ts.data() + off);
    if (p[0] != 0x47) return static_cast<long>(off);
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    if (pid == 0x1FFF) continue;
    int cc = p[3] & 0x0F;
    bool payload = p[3] & 0x10;
    auto it = last.find(pid);
    if (it != last.end() && cc != (payload ? (it->second + 1) & 0x0F : it->second)) return static_cast<long>(off);
    last[pid] = cc;
  }
  return -1;
}

// The stream with every continuity counter set to 0.
std::string withoutCounters(std::string ts) {
  for (size_t off = 3; off < ts.size(); off += 188) ts[off] = static_cast<char>(ts[off] & 0xF0);
  return ts;
}

// Checks a live media playlist of the loop of two: the segment numbers run on
// from the media sequence number, each even one after 0 is marked as a
// restart, and the discontinuity sequence counts the marks that have left.
// Returns the media sequence number.
long checkLoopPlaylist(const std::string& media) {
  auto at = media.find("#EXT-X-MEDIA-SEQUENCE:");
  auto dat = media.find("#EXT-X-DISCONTINUITY-SEQUENCE:");
  EXPECT_NE(at, std::string::npos) << media;
  EXPECT_NE(dat, std::string::npos) << media;
  if (at == std::string::npos || dat == std::string::npos) return -1;
  long first = std::stol(media.substr(at + 22));
  EXPECT_EQ(std::stol(media.substr(dat + 30)), first > 0 ? (first - 1) / 2 : 0) << media;
  long n = first;
  bool marked = false;
  std::istringstream lines(media);
  for (std::string line; std::getline(lines, line);) {
    if (line == "#EXT-X-DISCONTINUITY") marked = true;
    if (line.rfind("v1_", 0) != 0) continue;
    EXPECT_EQ(line, "v1_" + std::to_string(n) + ".ts") << media;
    EXPECT_EQ(marked, n > 0 && n % 2 == 0) << line << " in\n" << media;
    marked = false;
    ++n;
  }
  EXPECT_EQ(n - first, 3) << "a window of three: " << media;
  return first;
}

}  // namespace

TEST(RealVideo, LiveLoopIsMarkedAndAppendsIntoOneCleanStream) {
  HlsServer server({"--video", "real", "--mode", "live", "--segment-seconds", "1", "--window", "3", "--real-seconds",
                    "2", "--real-variants", "160x90@400000,320x180@900000", "--cache",
                    std::string(ORVADO_BINARY_DIR) + "/hlssource-cache"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  std::string master = fetch(server.url() + "index.m3u8");
  EXPECT_NE(master.find("BANDWIDTH=400000\nv0.m3u8\n"), std::string::npos) << master;
  EXPECT_NE(master.find("BANDWIDTH=900000\nv1.m3u8\n"), std::string::npos) << master;

  // Segments 0 to 2 at the start: the loop of two starts again at 2.
  checkLoopPlaylist(fetch(server.url() + "v1.m3u8"));

  std::string stream;
  for (int n = 0; n <= 2; ++n) stream += fetch(server.url() + "v1_" + std::to_string(n) + ".ts");
  ASSERT_GT(stream.size(), 3u * 188 * 100);
  EXPECT_EQ(stream.size() % 188, 0u);
  EXPECT_EQ(continuityBreak(stream), -1) << "appended segments, across the loop";
  EXPECT_TRUE(withoutCounters(fetch(server.url() + "v1_2.ts")) == withoutCounters(fetch(server.url() + "v1_0.ts")))
      << "the loop serves the same segment again, its counters carried on";

  // Three seconds on, the window has slid past the first restart.
  std::this_thread::sleep_for(std::chrono::milliseconds(3200));
  EXPECT_GE(checkLoopPlaylist(fetch(server.url() + "v1.m3u8")), 3);
}
