// The local HLS test source, fetched with the real GNU wget over loopback the
// way the stream pipeline fetches: playlists with "wget -O FILE URL", segments
// with "wget -T30 -t2 -O FILE URL 2>LOG" and "100%" in the log as the proof
// of a whole segment.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/hls_server.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kScript = std::string(ORVADO_SOURCE_DIR) + "/tools/hlssource/hlssource.py";
const std::string kWork = "/mnt/hd/hlssource-test";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int shell(const std::string& command) {
  int st = std::system(command.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct Fetch {
  int status = -1;
  std::string body;
  std::string log;
};

// A playlist as the pipeline fetches it: no timeout, output file only.
Fetch fetchPlaylist(const std::string& url) {
  Fetch f;
  std::filesystem::create_directories(kWork);
  std::string file = kWork + "/playlist.txt";
  removeAll(file);
  f.status = shell("wget -O " + file + " '" + url + "' 2>/dev/null");
  if (exists(file)) f.body = readFile(file);
  return f;
}

// A segment as the pipeline's background jobs fetch it, with its log.
Fetch fetchSegment(const std::string& url) {
  Fetch f;
  std::filesystem::create_directories(kWork);
  std::string file = kWork + "/tmp1.ts", log = kWork + "/1.lok";
  removeAll(file);
  removeAll(log);
  f.status = shell("wget -T30 -t2 -O " + file + " '" + url + "' 2>" + log);
  if (exists(file)) f.body = readFile(file);
  f.log = readFile(log);
  return f;
}

// The length wget was promised ("Length: N"), or -1.
long promisedLength(const std::string& log) {
  size_t at = log.find("Length: ");
  return at == std::string::npos ? -1 : std::strtol(log.c_str() + at + 8, nullptr, 10);
}

uint32_t crc32Mpeg(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++) {
    crc ^= uint32_t(data[i]) << 24;
    for (int b = 0; b < 8; b++) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  return crc;
}

// What a transport stream check found; `error` is empty for a good stream.
struct TsReport {
  std::string error;
  int packets = 0;
  int pcrs = 0;
  int pesStarts = 0;
  int esPid = -1;
};

// Checks a stream made of whole segments: every segment opens with a PAT and
// a PMT whose CRCs hold, the PAT points at the PMT, every other packet is on
// the PMT's one elementary stream, and every PID's continuity counter steps by
// one for each packet with payload across the whole stream.
TsReport checkTs(const std::string& bytes, int packetsPerSegment) {
  TsReport r;
  auto fail = [&](size_t at, const std::string& what) {
    r.error = "packet " + std::to_string(at / 188) + ": " + what;
    return r;
  };
  if (bytes.empty() || bytes.size() % 188 != 0)
    return fail(0, "size " + std::to_string(bytes.size()) + " is no whole number of packets");
  const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
  std::map<int, int> lastCc;
  int pmtPid = -1;
  for (size_t at = 0; at < bytes.size(); at += 188) {
    const uint8_t* p = d + at;
    if (p[0] != 0x47) return fail(at, "no sync byte");
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    bool pusi = p[1] & 0x40;
    int afc = (p[3] >> 4) & 3, cc = p[3] & 0x0F;
    if (afc & 1) {
      if (lastCc.count(pid) && cc != ((lastCc[pid] + 1) & 0x0F))
        return fail(at, "continuity counter " + std::to_string(cc) + " after " + std::to_string(lastCc[pid]) +
                            " on PID " + std::to_string(pid));
      lastCc[pid] = cc;
    }
    size_t payload = 4;
    if (afc & 2) {
      if (p[4] >= 7 && (p[5] & 0x10)) r.pcrs++;
      payload += 1 + p[4];
    }
    int index = int(at / 188) % packetsPerSegment;
    if (index == 0 || index == 1) {
      int wantPid = index == 0 ? 0 : pmtPid;
      if (pid != wantPid || !pusi) return fail(at, "segment does not open with PAT and PMT");
      const uint8_t* sec = p + payload + 1 + p[payload];
      int length = ((sec[1] & 0x0F) << 8) | sec[2];
      if (sec[0] != (index == 0 ? 0x00 : 0x02)) return fail(at, "wrong table id");
      if (crc32Mpeg(sec, 3 + length) != 0) return fail(at, "section CRC does not hold");
      if (index == 0)
        pmtPid = ((sec[10] & 0x1F) << 8) | sec[11];
      else
        r.esPid = ((sec[13] & 0x1F) << 8) | sec[14];
    } else {
      if (pid != r.esPid) return fail(at, "PID " + std::to_string(pid) + " is not the elementary stream's");
      if (pusi) {
        if (p[payload] != 0 || p[payload + 1] != 0 || p[payload + 2] != 1)
          return fail(at, "PES packet without start code");
        r.pesStarts++;
      }
    }
    r.packets++;
  }
  return r;
}

// The media playlist's sequence number and its segment lines.
struct Media {
  long sequence = -1;
  std::vector<std::string> segments;
  bool ended = false;
  int durations = 0;
};

Media parseMedia(const std::string& text) {
  Media m;
  for (const std::string& line : lines(text)) {
    if (line.rfind("#EXT-X-MEDIA-SEQUENCE:", 0) == 0) m.sequence = std::strtol(line.c_str() + 22, nullptr, 10);
    if (line.rfind("#EXTINF:", 0) == 0) m.durations++;
    if (line == "#EXT-X-ENDLIST") m.ended = true;
    if (!line.empty() && line[0] != '#') m.segments.push_back(line);
  }
  return m;
}

}  // namespace

TEST(HlsSource, StartsStopsAndRefusesBadOptions) {
  std::string help = commandOutput(ORVADO_PYTHON " " + kScript + " --help");
  EXPECT_TRUE(contains(help, "--segment-bytes")) << help;
  EXPECT_TRUE(contains(help, "--stop-after")) << help;

  struct Bad {
    std::string options, message;
  };
  for (const Bad& bad : std::vector<Bad>{
           {"--mode radio", "invalid choice: 'radio'"},
           {"--segments 0", "'0' must be 1 or more"},
           {"--port 70000", "is not a port number"},
           {"--bandwidths 800000,fast", "bandwidths are whole numbers"},
           {"--fail 3", "expected TARGET:VALUE"},
           {"--fail 3:200", "HTTP error status"},
           {"--fail-playlist nothere.m3u8:404", "no playlist named 'nothere.m3u8'"},
           {"--truncate x:100", "needs a segment number"},
           {"--segment-seconds -1", "must be above 0"},
       }) {
    std::string out = commandOutput(ORVADO_PYTHON " " + kScript + " " + bad.options + " 2>&1; echo status=$?");
    EXPECT_TRUE(contains(out, bad.message)) << bad.options << ": " << out;
    EXPECT_TRUE(contains(out, "status=2")) << bad.options << ": " << out;
  }

  HlsServer server({});
  ASSERT_EQ(server.url().rfind("http://127.0.0.1:", 0), 0u) << server.line();
  std::string port = server.url().substr(17, server.url().size() - 18);
  EXPECT_GT(std::atoi(port.c_str()), 0) << server.line();
  EXPECT_EQ(server.url().back(), '/');
  EXPECT_EQ(fetchPlaylist(server.url() + "index.m3u8").status, 0);

  // Only loopback: the port is not open on any other address of the host.
  std::string listening = commandOutput("cat /proc/net/tcp /proc/net/tcp6 2>/dev/null");
  char hexPort[8];
  snprintf(hexPort, sizeof hexPort, ":%04X", std::atoi(port.c_str()));
  int sockets = 0;
  for (const std::string& line : lines(listening)) {
    if (!contains(line, std::string(hexPort) + " 00000000:0000 0A")) continue;
    sockets++;
    EXPECT_TRUE(contains(line, "0100007F" + std::string(hexPort))) << line;
  }
  EXPECT_EQ(sockets, 1) << listening;

  // A second server on the same port says why it cannot start.
  std::string taken =
      commandOutput(ORVADO_PYTHON " " + kScript + " --port " + port + " --stop-after 1 2>&1; echo status=$?");
  EXPECT_TRUE(contains(taken, "cannot listen on 127.0.0.1:" + port)) << taken;
  EXPECT_TRUE(contains(taken, "status=1")) << taken;

  EXPECT_EQ(server.stop(), 0) << "SIGTERM must end the server cleanly";
  EXPECT_NE(fetchPlaylist(server.url() + "index.m3u8").status, 0) << "the port still answers after SIGTERM";

  HlsServer interrupted({});
  ASSERT_FALSE(interrupted.url().empty()) << interrupted.line();
  EXPECT_EQ(interrupted.stop(SIGINT), 0) << "Ctrl-C must end the server cleanly";

  HlsServer bounded({"--stop-after", "0.5"});
  ASSERT_FALSE(bounded.url().empty()) << bounded.line();
  EXPECT_EQ(bounded.waitExit(std::chrono::seconds(5)), 0) << "--stop-after 0.5 did not end the server";
}

TEST(HlsSource, MasterPlaylistListsEveryVariant) {
  HlsServer server({"--bandwidths", "800000,1200000,1200000,64000"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  Fetch master = fetchPlaylist(server.url() + "index.m3u8");
  ASSERT_EQ(master.status, 0);
  EXPECT_EQ(master.body.rfind("#EXTM3U\n", 0), 0u) << master.body;
  // A master playlist that holds ".ts" anywhere would be taken for a chunk list.
  EXPECT_FALSE(contains(master.body, ".ts")) << master.body;

  std::vector<std::string> l = lines(master.body);
  std::vector<long> bandwidths;
  std::vector<std::string> variants;
  for (size_t i = 0; i < l.size(); i++) {
    if (l[i].rfind("#EXT-X-STREAM-INF:", 0) != 0) continue;
    size_t at = l[i].find("BANDWIDTH=");
    ASSERT_NE(at, std::string::npos) << l[i];
    bandwidths.push_back(std::strtol(l[i].c_str() + at + 10, nullptr, 10));
    ASSERT_LT(i + 1, l.size());
    variants.push_back(l[i + 1]);
  }
  EXPECT_EQ(bandwidths, (std::vector<long>{800000, 1200000, 1200000, 64000}));
  ASSERT_EQ(variants.size(), 4u);
  for (const std::string& v : variants) {
    EXPECT_EQ(v.find("http"), std::string::npos) << "variant lines are relative: " << v;
    ASSERT_GT(v.size(), 5u);
    EXPECT_EQ(v.substr(v.size() - 5), ".m3u8");
    Fetch media = fetchPlaylist(server.url() + v);
    EXPECT_EQ(media.status, 0) << v;
    EXPECT_EQ(parseMedia(media.body).segments.size(), 10u) << v << ":\n" << media.body;
  }
  // Each variant lists its own segments.
  EXPECT_NE(fetchPlaylist(server.url() + variants[0]).body, fetchPlaylist(server.url() + variants[1]).body);
  EXPECT_NE(fetchPlaylist(server.url() + "v4.m3u8").status, 0) << "there is no fifth variant";
  EXPECT_NE(fetchPlaylist(server.url() + "other.m3u8").status, 0);
}

TEST(HlsSource, VodAndLivePlaylists) {
  {
    HlsServer vod({"--segments", "4", "--segment-seconds", "3.5", "--segment-bytes", "5000"});
    ASSERT_FALSE(vod.url().empty()) << vod.line();
    Fetch f = fetchPlaylist(vod.url() + "v1.m3u8");
    ASSERT_EQ(f.status, 0);
    Media m = parseMedia(f.body);
    EXPECT_EQ(m.sequence, 0);
    EXPECT_TRUE(m.ended) << f.body;
    EXPECT_TRUE(contains(f.body, "#EXT-X-TARGETDURATION:4\n")) << f.body;
    EXPECT_EQ(m.durations, 4);
    ASSERT_EQ(m.segments.size(), 4u) << f.body;
    for (size_t i = 0; i < 4; i++) {
      EXPECT_EQ(m.segments[i], "v1_" + std::to_string(i) + ".ts");
      EXPECT_EQ(fetchSegment(vod.url() + m.segments[i]).status, 0) << m.segments[i];
    }
    // Every segment line ends with a line feed, so the last one is read too.
    EXPECT_EQ(f.body.back(), '\n');
    EXPECT_NE(fetchSegment(vod.url() + "v1_4.ts").status, 0) << "a segment past the end must not be served";
    EXPECT_NE(fetchSegment(vod.url() + "v3_0.ts").status, 0) << "there is no fourth variant";
  }
  {
    HlsServer live({"--mode", "live", "--window", "3", "--segment-seconds", "0.4", "--segment-bytes", "5000"});
    ASSERT_FALSE(live.url().empty()) << live.line();
    using Clock = std::chrono::steady_clock;
    auto firstStart = Clock::now();
    Fetch first = fetchPlaylist(live.url() + "v0.m3u8");
    auto firstEnd = Clock::now();
    ASSERT_EQ(first.status, 0);
    Media a = parseMedia(first.body);
    EXPECT_FALSE(a.ended) << first.body;
    EXPECT_FALSE(contains(first.body, "VOD")) << first.body;
    ASSERT_EQ(a.segments.size(), 3u) << first.body;
    for (size_t i = 0; i < 3; i++)
      EXPECT_EQ(a.segments[i], "v0_" + std::to_string(a.sequence + long(i)) + ".ts") << first.body;

    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    auto secondStart = Clock::now();
    Fetch second = fetchPlaylist(live.url() + "v0.m3u8");
    auto secondEnd = Clock::now();
    Media b = parseMedia(second.body);
    // One new segment every 0.4 s of the time between the two fetches.
    auto segmentsIn = [](Clock::duration d) { return std::chrono::duration<double>(d).count() / 0.4; };
    EXPECT_GE(b.sequence - a.sequence, long(segmentsIn(secondStart - firstEnd)) - 1) << first.body << second.body;
    EXPECT_LE(b.sequence - a.sequence, long(segmentsIn(secondEnd - firstStart)) + 1) << first.body << second.body;
    EXPECT_GE(b.sequence, a.sequence + 2) << first.body << second.body;
    ASSERT_EQ(b.segments.size(), 3u) << second.body;
    for (size_t i = 0; i < 3; i++)
      EXPECT_EQ(b.segments[i], "v0_" + std::to_string(b.sequence + long(i)) + ".ts") << second.body;
    EXPECT_EQ(fetchSegment(live.url() + b.segments[2]).status, 0) << "the newest segment must be there";
    EXPECT_NE(fetchSegment(live.url() + "v0_" + std::to_string(b.sequence + 50) + ".ts").status, 0)
        << "a segment from the future must not be served";
  }
}

TEST(HlsSource, SegmentsAreWholeTransportStreams) {
  HlsServer server({"--segment-bytes", "60000"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  std::string stream;
  for (int n = 3; n <= 5; n++) {
    Fetch f = fetchSegment(server.url() + "v2_" + std::to_string(n) + ".ts");
    ASSERT_EQ(f.status, 0) << f.log;
    EXPECT_TRUE(contains(f.log, "100%")) << f.log;
    EXPECT_EQ(promisedLength(f.log), long(f.body.size())) << f.log;
    EXPECT_EQ(f.body.size(), 319u * 188) << "60000 bytes are 319 whole packets";
    TsReport one = checkTs(f.body, 319);
    EXPECT_EQ(one.error, "") << "segment " << n;
    stream += f.body;
  }
  // Segments appended in order make one stream whose counters run on.
  TsReport all = checkTs(stream, 319);
  EXPECT_EQ(all.error, "");
  EXPECT_EQ(all.packets, 3 * 319);
  EXPECT_GE(all.pesStarts, 3 * 10);
  EXPECT_EQ(all.pcrs, all.pesStarts) << "every PES packet opens with a PCR";

  // Deterministic from the number alone: the same segment is the same bytes
  // in every variant and on every fetch; another number is other bytes.
  EXPECT_EQ(fetchSegment(server.url() + "v0_4.ts").body, stream.substr(319 * 188, 319 * 188));
  EXPECT_NE(fetchSegment(server.url() + "v2_6.ts").body, stream.substr(0, 319 * 188));

  // A gap breaks the counters: the check itself must see that.
  EXPECT_NE(checkTs(stream.substr(0, 319 * 188) + stream.substr(2 * 319 * 188), 319).error, "");

  HlsServer defaults({});
  Fetch big = fetchSegment(defaults.url() + "v0_0.ts");
  ASSERT_EQ(big.status, 0) << big.log;
  EXPECT_TRUE(contains(big.log, "100%")) << big.log;
  EXPECT_EQ(big.body.size(), 5319u * 188) << "the default segment is about 1 MB";
  EXPECT_EQ(promisedLength(big.log), long(big.body.size()));
  EXPECT_EQ(checkTs(big.body, 5319).error, "");
}

TEST(HlsSource, FaultsFromOptions) {
  HlsServer server({"--segment-bytes", "200000", "--fail", "2:404", "--truncate", "3:50000", "--slow", "4:1",
                    "--fail-playlist", "v0.m3u8:500", "--fail-playlist", "index.m3u8:404"});
  ASSERT_FALSE(server.url().empty()) << server.line();

  Fetch missing = fetchSegment(server.url() + "v1_2.ts");
  EXPECT_NE(missing.status, 0);
  EXPECT_TRUE(contains(missing.log, "404")) << missing.log;
  EXPECT_FALSE(contains(missing.log, "100%")) << missing.log;

  Fetch cut = fetchSegment(server.url() + "v1_3.ts");
  EXPECT_NE(cut.status, 0) << cut.log;
  EXPECT_FALSE(contains(cut.log, "100%")) << cut.log;
  EXPECT_TRUE(contains(cut.log, "Connection closed")) << cut.log;
  EXPECT_GT(promisedLength(cut.log), long(cut.body.size())) << cut.log;

  auto start = std::chrono::steady_clock::now();
  Fetch slow = fetchSegment(server.url() + "v1_4.ts");
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(slow.status, 0) << slow.log;
  EXPECT_TRUE(contains(slow.log, "100%")) << slow.log;
  EXPECT_GE(took, 0.9);
  EXPECT_EQ(checkTs(slow.body, 1064).error, "");

  Fetch whole = fetchSegment(server.url() + "v1_5.ts");
  EXPECT_EQ(whole.status, 0) << whole.log;
  EXPECT_TRUE(contains(whole.log, "100%")) << whole.log;

  EXPECT_EQ(fetchPlaylist(server.url() + "v0.m3u8").status, 8) << "wget's status for a server error";
  EXPECT_NE(fetchPlaylist(server.url() + "index.m3u8").status, 0);
  EXPECT_EQ(fetchPlaylist(server.url() + "v1.m3u8").status, 0);
}

TEST(HlsSource, ControlSwitchesFaultsAtRunTime) {
  HlsServer server({"--segment-bytes", "100000"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  auto control = [&](const std::string& query) { return fetchPlaylist(server.url() + "control?" + query); };
  auto segment = [&](int n) { return fetchSegment(server.url() + "v0_" + std::to_string(n) + ".ts"); };

  EXPECT_TRUE(contains(segment(7).log, "100%"));
  EXPECT_EQ(control("segment=7&fail=404").status, 0);
  Fetch failed = segment(7);
  EXPECT_NE(failed.status, 0);
  EXPECT_TRUE(contains(failed.log, "404")) << failed.log;
  EXPECT_TRUE(contains(segment(6).log, "100%")) << "a fault hits only its own segment";
  EXPECT_EQ(control("segment=7&clear=1").status, 0);
  EXPECT_TRUE(contains(segment(7).log, "100%"));

  EXPECT_EQ(control("segment=1&truncate=1000").status, 0);
  Fetch cut = segment(1);
  EXPECT_FALSE(contains(cut.log, "100%")) << cut.log;
  EXPECT_NE(cut.status, 0);

  // A fault for one request only: wget's second try gets the whole segment.
  EXPECT_EQ(control("segment=2&truncate=1000&times=1").status, 0);
  Fetch retried = segment(2);
  EXPECT_EQ(retried.status, 0) << retried.log;
  EXPECT_TRUE(contains(retried.log, "Connection closed")) << retried.log;
  EXPECT_TRUE(contains(retried.log, "100%")) << retried.log;
  EXPECT_EQ(checkTs(retried.body, 532).error, "");

  EXPECT_EQ(control("playlist=index.m3u8&fail=500").status, 0);
  EXPECT_EQ(fetchPlaylist(server.url() + "index.m3u8").status, 8);
  Fetch listing = control("");
  EXPECT_TRUE(contains(listing.body, "playlist=index.m3u8 fail=500")) << listing.body;
  EXPECT_TRUE(contains(listing.body, "segment=1 truncate=1000")) << listing.body;
  EXPECT_EQ(control("clear=all").status, 0);
  EXPECT_EQ(fetchPlaylist(server.url() + "index.m3u8").status, 0);
  EXPECT_TRUE(contains(segment(1).log, "100%"));
  EXPECT_TRUE(contains(control("").body, "no faults"));

  // Bad control requests are refused and change nothing.
  EXPECT_NE(control("segment=3&fail=200").status, 0);
  EXPECT_NE(control("segment=3&louder=1").status, 0);
  EXPECT_NE(control("playlist=nothere.m3u8&fail=404").status, 0);
  EXPECT_NE(control("playlist=index.m3u8&truncate=10").status, 0);
  EXPECT_TRUE(contains(segment(3).log, "100%"));
}

// Each layout's URIs work only when resolved as HLS defines it: variants
// against the master's URL, segments against their media playlist's URL.
// Joined to the master playlist's folder instead, they are not found.
TEST(HlsSource, LayoutsServeWhatTheirUrisResolveTo) {
  struct Case {
    std::string layout, variant, media, segmentLine, segment;
  };
  for (const Case& c : std::vector<Case>{
           {"folders", "gear3/prog_index.m3u8", "gear3/prog_index.m3u8", "fileSequence4.ts", "gear3/fileSequence4.ts"},
           {"root", "./live/v2/index.m3u8", "live/v2/index.m3u8", "/media/v2/seg4.ts", "media/v2/seg4.ts"},
           {"parent", "play/v2/list.m3u8", "play/v2/list.m3u8", "../media/v2_4.ts", "play/media/v2_4.ts"},
           {"query", "v2.m3u8?session=ab/cd&v=2", "v2.m3u8?session=ab/cd&v=2", "v2_4.ts?token=x/y%2Fz&n=4",
            "v2_4.ts?token=x/y%2Fz&n=4"},
       }) {
    SCOPED_TRACE(c.layout);
    HlsServer server({"--layout", c.layout, "--segment-bytes", "1880", "--segments", "5"});
    ASSERT_FALSE(server.url().empty()) << server.line();
    Media master = parseMedia(fetchPlaylist(server.url() + "index.m3u8").body);
    ASSERT_EQ(master.segments.size(), 3u);
    EXPECT_EQ(master.segments[2], c.variant);
    Media media = parseMedia(fetchPlaylist(server.url() + c.media).body);
    ASSERT_EQ(media.segments.size(), 5u);
    EXPECT_EQ(media.segments[4], c.segmentLine);
    Fetch good = fetchSegment(server.url() + c.segment);
    EXPECT_EQ(good.status, 0) << good.log;
    EXPECT_TRUE(good.body == server.get("raw?segment=4")) << "the same bytes in every layout";
    std::string naive = c.segmentLine[0] == '/' ? c.segmentLine.substr(1) : c.segmentLine;
    if (naive != c.segment) {
      EXPECT_NE(fetchSegment(server.url() + naive).status, 0) << naive;
    }
  }
  HlsServer query({"--layout", "query", "--segment-bytes", "1880"});
  EXPECT_TRUE(contains(fetchSegment(query.url() + "v0_1.ts").log, "403")) << "a segment without its token";

  HlsServer hosts({"--layout", "hosts", "--segment-bytes", "1880"});
  ASSERT_FALSE(hosts.url().empty()) << hosts.line();
  std::string port = hosts.url().substr(17, hosts.url().size() - 18);
  Media master = parseMedia(fetchPlaylist(hosts.url() + "index.m3u8").body);
  ASSERT_EQ(master.segments.size(), 3u);
  EXPECT_EQ(master.segments[0], "v0.m3u8");
  EXPECT_EQ(master.segments[2], "http://127.0.0.2:" + port + "/far/v2.m3u8");
  EXPECT_EQ(parseMedia(fetchPlaylist(master.segments[2]).body).segments.at(0), "v2_0.ts");
  EXPECT_EQ(fetchSegment("http://127.0.0.2:" + port + "/far/v2_0.ts").status, 0);
  EXPECT_NE(fetchSegment(hosts.url() + "far/v2_0.ts").status, 0) << "only on the second address";
  EXPECT_NE(fetchPlaylist(hosts.url() + "far/v2.m3u8").status, 0);
}

// Chunked answers, a hang, an HTML page with 200, a quote line, and the
// stream events of the manual clock: advance, stale, jump and restart.
TEST(HlsSource, ServingFaultsAndStreamEvents) {
  HlsServer chunked({"--chunked", "--segment-bytes", "18800"});
  Fetch whole = fetchSegment(chunked.url() + "v0_1.ts");
  EXPECT_EQ(whole.status, 0) << whole.log;
  EXPECT_TRUE(contains(whole.log, "Length: unspecified")) << "no Content-Length: " << whole.log;
  EXPECT_TRUE(whole.body == chunked.get("raw?segment=1"));

  HlsServer faults({"--segment-bytes", "18800", "--hang", "2:30", "--html", "3", "--quote", "4"});
  auto start = std::chrono::steady_clock::now();
  int status = shell("wget -T1 -t1 -O /dev/null '" + faults.url() + "v0_2.ts' 2>/dev/null");
  EXPECT_NE(status, 0) << "a hanging answer times out";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  Fetch html = fetchSegment(faults.url() + "v0_3.ts");
  EXPECT_EQ(html.status, 0) << "an HTML page comes with 200";
  EXPECT_TRUE(contains(html.body, "<html>")) << html.body;
  Media media = parseMedia(fetchPlaylist(faults.url() + "v0.m3u8").body);
  EXPECT_EQ(media.segments.at(4), "v0_4'.ts");
  EXPECT_EQ(media.segments.at(5), "v0_5.ts");
  EXPECT_TRUE(contains(faults.get("control?segment=6&hang=5&times=1"), "segment=6 hang=5.0 times=1"));

  HlsServer live({"--mode", "live", "--clock", "manual", "--window", "3", "--segment-bytes", "1880"});
  auto listed = [&] { return parseMedia(fetchPlaylist(live.url() + "v0.m3u8").body); };
  EXPECT_EQ(listed().segments, (std::vector<std::string>{"v0_0.ts", "v0_1.ts", "v0_2.ts"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(listed().sequence, 0) << "the manual clock stands still";
  EXPECT_TRUE(contains(live.get("control?advance=2"), "newest segment 4"));
  EXPECT_EQ(listed().sequence, 2);
  live.get("control?jump=5");
  EXPECT_EQ(listed().segments, (std::vector<std::string>{"v0_7.ts", "v0_8.ts", "v0_9.ts"}));
  live.get("control?restart=1");
  std::string text = fetchPlaylist(live.url() + "v0.m3u8").body;
  EXPECT_TRUE(contains(text, "#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-DISCONTINUITY-SEQUENCE:0\n#EXT-X-DISCONTINUITY\n"))
      << text;
  EXPECT_EQ(listed().segments, (std::vector<std::string>{"v0_0.ts"}));
  EXPECT_TRUE(fetchSegment(live.url() + "v0_0.ts").body == live.get("raw?segment=10")) << "new names, new content";
  EXPECT_TRUE(live.get("control?jump=0").empty()) << "refused";
  EXPECT_TRUE(live.get("control?stale=1&jump=1").empty()) << "one event at a time";

  HlsServer wall({"--mode", "live", "--window", "2", "--segment-seconds", "0.3", "--segment-bytes", "1880"});
  wall.get("control?stale=1");
  long frozen = parseMedia(fetchPlaylist(wall.url() + "v0.m3u8").body).sequence;
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(parseMedia(fetchPlaylist(wall.url() + "v0.m3u8").body).sequence, frozen) << "a stale playlist";
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_GT(parseMedia(fetchPlaylist(wall.url() + "v0.m3u8").body).sequence, frozen) << "and then it goes on";
}
