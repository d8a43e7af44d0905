// Live channels laid out and served as real HLS servers do, and the faults of
// real networks, played by the TAP in the emulator with the real wget against
// the local HLS test source. The source's clock is manual: each pipeline step
// first makes one new segment, so no segment leaves the list unseen, and the
// TAP's clock is virtual, so a step costs only its own work.
//
// Every case checks Stream.ts byte for byte: whole segments of the source, in
// order, none twice; only those reported as "N Read err" (or that the case
// names) may be missing.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/orvado.h"
#include "support/hls_server.h"
#include "support/stream_check.h"
#include "support/test_ca.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kSettings = "/mnt/hd/ProgramFiles/Settings/orvado";
const std::string kTmp = "/mnt/hd/MediaFiles/tmp";
const std::string kStreamTs = kTmp + "/Stream.ts";

// Segment sizes in whole 188-byte packets, so the source does not round.
constexpr size_t kSmall = 188 * 100;
constexpr size_t kMegabyte = 188 * 5320;  // the seventh crosses 7,000,000 bytes

std::vector<std::string> liveSource(const std::string& layout, size_t bytes, std::vector<std::string> more = {}) {
  std::vector<std::string> options = {"--mode",       "live",     "--clock", "manual",          "--layout",
                                      layout,         "--window", "5",       "--segment-bytes", std::to_string(bytes),
                                      "--stop-after", "120"};
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

// The segment number that a URL's name carries: the digits before ".ts".
long numberInUrl(const std::string& url) {
  std::smatch m;
  return std::regex_search(url, m, std::regex(R"((\d+)'?\.ts)")) ? std::stol(m[1]) : -1;
}

// The TAP on a fresh receiver, streaming channel 1, stepped by hand.
class Channel {
 public:
  // `more` adds lines to orvado.ini.
  Channel(HlsServer& server, const std::string& playlist, const std::string& more = "") : server_(server) {
    freshReceiver(virtualConfig());
    EXPECT_EQ(system(("rm -f " + kTmp + "/* " + kSettings + "/*.lok " + kSettings + "/*.txt").c_str()), 0);
    writeFile(kSettings + "/orvado.ini", "tvname1=Live\ntvPL1=" + server.url() + playlist + "\n" + more);
    EXPECT_EQ(TAP_Main(), 1);
    EXPECT_EQ(TAP_EventHandler(EVT_KEY, RKEY_1, 0), 0u) << "digit 1 starts the channel";
  }

  // One pipeline step, after the source has made `newSegments` more. Keeps
  // every status message the step showed, and which URL each job fetches.
  void step(int newSegments = 1) {
    if (newSegments > 0) server_.get("control?advance=" + std::to_string(newSegments));
    std::memset(_StatusausgabeTick, 0, sizeof _StatusausgabeTick);
    uint32_t before = _Stream_Block;
    emu::advanceTicks(StreamStepTicks + 1);
    TAP_EventHandler(EVT_IDLE, 0, 0);
    for (int i = 0; i < 10; ++i)
      if (_StatusausgabeTick[i] != 0) shown.push_back(_StatusausgabeText[i]);
    // The ring holds the URLs started, newest last: the first chunk and the
    // jobs of this step are its newest entries.
    // A run begun anew (after the player ran dry) numbers its jobs from 1.
    uint32_t started = before == 0 || _Stream_Block < before ? _Stream_Block : _Stream_Block - before;
    if (started > StreamRingSize) started = StreamRingSize;
    for (uint32_t i = 0; i < started; ++i)
      jobUrl[_Stream_Block - started + i] = _OrvadoDlTsFileName_OK[StreamRingSize - started + i];
  }

  // Waits (bounded) until no background wget runs.
  void settle(int seconds = 10) {
    for (int i = 0; i < seconds * 100 && !commandOutput("pidof wget").empty(); ++i) usleep(10000);
  }

  void run(int steps, int segmentsPerStep = 1) {
    for (int i = 0; i < steps; ++i) {
      step(segmentsPerStep);
      settle();
    }
  }

  bool showed(const std::string& text) const {
    for (const std::string& m : shown)
      if (m == text) return true;
    return false;
  }

  // Segment numbers (by URL) of the jobs reported as "N Read err".
  std::set<long> readErrors() const {
    std::set<long> numbers;
    std::smatch m;
    for (const std::string& text : shown)
      if (std::regex_match(text, m, std::regex(R"((\d+) Read err)"))) {
        auto job = jobUrl.find(static_cast<uint32_t>(std::stoul(m[1])));
        numbers.insert(job == jobUrl.end() ? -1 : numberInUrl(job->second));
      }
    return numbers;
  }

  std::string messages() const {
    std::string all;
    for (const std::string& m : shown) all += "[" + m + "]";
    return all;
  }

  int playerStarts() const {
    int n = 0;
    for (const std::string& line : emu::consoleLines())
      if (line.find(": playing /mnt/hd/MediaFiles/tmp/Stream.ts") != std::string::npos) ++n;
    return n;
  }

  std::vector<std::string> shown;
  std::map<uint32_t, std::string> jobUrl;  // job 0 is the first chunk

 private:
  HlsServer& server_;
};

void expectWholeStream(Channel& channel, HlsServer& server, size_t bytes, size_t atLeast, std::set<long> missing = {}) {
  std::set<long> errors = channel.readErrors();
  missing.insert(errors.begin(), errors.end());
  expectInOrder(segmentsInStream(kStreamTs, server, bytes), missing, atLeast);
}

}  // namespace

// Master playlist with the variants in subfolders (gearN/prog_index.m3u8
// listing fileSequenceN.ts): variant URIs resolve against the master's URL,
// segment URIs against the variant's. Two new segments a step make steps
// that append two; the one that crosses 7,000,000 bytes with the first of
// them starts the player once, and the append after it does not start it
// again.
TEST(HlsLayouts, VariantsInSubfoldersPlayAndThePlayerStartsOnce) {
  inFreshProcess([] {
    HlsServer server(liveSource("folders", kMegabyte));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(2);
    channel.run(4, 2);
    EXPECT_TRUE(channel.showed("2500 kb/s")) << channel.messages();
    EXPECT_TRUE(emu::playing());
    EXPECT_EQ(channel.playerStarts(), 1);
    expectWholeStream(channel, server, kMegabyte, 10);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// The best variant on a second loopback address, given by absolute URL; its
// relative segment lines resolve to that host, and only there are they found.
TEST(HlsLayouts, VariantOnAnotherHostByAbsoluteUrl) {
  inFreshProcess([] {
    HlsServer server(liveSource("hosts", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(8);
    ASSERT_FALSE(channel.jobUrl.empty());
    EXPECT_EQ(channel.jobUrl.rbegin()->second.rfind("http://127.0.0.2:", 0), 0u) << channel.jobUrl.rbegin()->second;
    expectWholeStream(channel, server, kSmall, 7);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// Root-relative (/media/...), ../../ and ./ URIs, and query strings on
// playlists and segments (one with a '/' in its query; the segments answer
// 403 without it).
TEST(HlsLayouts, RootRelativeParentAndQueryUris) {
  for (std::string layout : {"root", "parent", "query"}) {
    SCOPED_TRACE(layout);
    inFreshProcess([&] {
      HlsServer server(liveSource(layout, kSmall));
      ASSERT_FALSE(server.url().empty()) << server.line();
      Channel channel(server, layout == "query" ? "index.m3u8?auth=a/b" : "index.m3u8");
      channel.run(8);
      expectWholeStream(channel, server, kSmall, 7);
      EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
    });
  }
}

// Playlists and segments without Content-Length (chunked transfer
// encoding): a download counts as finished when wget has saved it whole.
TEST(HlsLayouts, ChunkedResponses) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--chunked"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(8);
    expectWholeStream(channel, server, kSmall, 7);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// A segment cut once (wget's second try gets it whole) goes in; an HTML page
// answered with 200 and a 404 are left out as "N Read err", and nothing of
// them reaches Stream.ts.
TEST(HlsFaults, OnlyWholeVideoSegmentsReachTheStream) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    server.get("control?segment=7&truncate=5000&times=1");
    server.get("control?segment=9&html=1");
    server.get("control?segment=11&fail=404");
    Channel channel(server, "index.m3u8");
    channel.run(12);
    std::set<long> errors = channel.readErrors();
    EXPECT_EQ(errors, (std::set<long>{9, 11})) << channel.messages();
    std::vector<long> numbers = segmentsInStream(kStreamTs, server, kSmall);
    expectInOrder(numbers, errors, 10);
    EXPECT_NE(std::find(numbers.begin(), numbers.end(), 7), numbers.end()) << "the retried segment is there";
  });
}

// A segment line with a ' cannot be quoted for the shell: that segment is
// left out with one message, and the others of the same step go on.
TEST(HlsFaults, QuoteLineSkipsOnlyThatSegment) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--quote", "8"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(10);
    EXPECT_TRUE(channel.showed("URL >> 2")) << "the user is told: " << channel.messages();
    std::vector<long> numbers = segmentsInStream(kStreamTs, server, kSmall);
    expectInOrder(numbers, {8}, 9);
    EXPECT_EQ(std::find(numbers.begin(), numbers.end(), 8), numbers.end());
    EXPECT_GT(numbers.back(), 8) << "segments after the bad line arrive";
  });
}

// A server that answers the chunk list halfway and then falls silent holds
// a step for a bounded time only, and Exit then stops the stream. A segment
// download that hangs the same way is given up or retried in the background.
TEST(HlsFaults, HangingServerLetsExitThroughWithinFifteenSeconds) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(4);
    server.get("control?playlist=v2.m3u8&hang=20&times=1");
    auto pressed = std::chrono::steady_clock::now();
    channel.step();
    expectWholeStream(channel, server, kSmall, 3);
    TAP_EventHandler(EVT_KEY, RKEY_Exit, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count();
    EXPECT_LE(seconds, 15.5) << "Exit took effect after " << seconds << " s";
    EXPECT_EQ(_stream_load_flag, 0u) << "Exit stopped the stream";
    // A killed wget may take a moment to end under load; one still there a
    // second later was missed.
    channel.settle(1);
    EXPECT_TRUE(commandOutput("pidof wget").empty());
  });
}

// The playlist stands still for several target durations (the user is told),
// then jumps ahead past segments it never listed, then restarts its names
// and media sequence at 0 after an EXT-X-DISCONTINUITY. The stream goes on
// through all three with nothing lost that was listed.
TEST(HlsLive, StalePlaylistSequenceJumpAndRestart) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--window", "3"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(12);
    size_t before = channel.shown.size();
    for (int i = 0; i < 4; ++i) {
      channel.step(0);
      channel.settle();
    }
    std::vector<std::string> stale(channel.shown.begin() + static_cast<long>(before), channel.shown.end());
    EXPECT_NE(std::find(stale.begin(), stale.end(), "Playlist stale"), stale.end()) << channel.messages();
    // Newest is 14 now (window 3 from 2, twelve steps); a jump by 6 and the
    // next new segment list 19 to 21: 15 to 18 were never listed.
    server.get("control?jump=6");
    channel.run(3);
    server.get("control?restart=1");
    channel.run(4);
    expectWholeStream(channel, server, kSmall, 18, {15, 16, 17, 18});
    std::vector<long> numbers = segmentsInStream(kStreamTs, server, kSmall);
    ASSERT_FALSE(numbers.empty());
    EXPECT_GE(numbers.back(), 24) << "segments after the restart arrive";
  });
}

// A disk that fills up: the stream stops cleanly with a message, Stream.ts
// ends on a whole segment, no download runs on, and nothing piles up.
TEST(HlsDisk, FullDiskStopsTheStreamCleanly) {
  inFreshProcess([] {
    // The media folder on a small tmpfs of its own: this process has a mount
    // namespace of its own, so the mount ends with it.
    std::filesystem::create_directories(kTmp);
    ASSERT_EQ(mount("tmpfs", kTmp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m"), 0) << strerror(errno);
    struct Unmount {
      ~Unmount() { umount2(kTmp.c_str(), MNT_DETACH); }
    } unmount;
    const size_t bytes = 188 * 1000;
    HlsServer server(liveSource("flat", bytes));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(16);
    std::string before = channel.messages();
    expectWholeStream(channel, server, bytes, 5);
    size_t size = readFile(kStreamTs).size();
    std::string files = commandOutput("ls " + kTmp);
    channel.run(2);
    EXPECT_EQ(readFile(kStreamTs).size(), size) << "the stream stopped";
    EXPECT_TRUE(commandOutput("pidof wget").empty()) << "no download runs on";
    EXPECT_EQ(commandOutput("ls " + kTmp), files) << "no files pile up";
    EXPECT_TRUE(channel.showed("Disk full")) << before;
  });
}

// ---- Nothing lost that the server still lists, and the picture back ------

namespace {

std::vector<long> streamed(HlsServer& server, size_t bytes) { return segmentsInStream(kStreamTs, server, bytes); }

bool contains(const std::vector<long>& numbers, long n) {
  return std::find(numbers.begin(), numbers.end(), n) != numbers.end();
}

}  // namespace

// A segment that answers 503 once is started again under its own number
// while the list holds it: no gap, no "Read err".
TEST(HlsFaults, SegmentFailingOnceIsFetchedAgain) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    server.get("control?segment=7&fail=503&times=1");
    Channel channel(server, "index.m3u8");
    channel.run(12);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
    std::vector<long> numbers = streamed(server, kSmall);
    expectInOrder(numbers, {}, 10);
    EXPECT_TRUE(contains(numbers, 7)) << "the segment that failed once is there";
    bool retried = false;
    for (const std::string& line : takeConsoleLines())
      retried =
          retried || (line.find("failed, try 2 of 3: " + server.url() + "v2_7.ts (wget exit 8)") != std::string::npos);
    EXPECT_TRUE(retried) << "the log tells of the second try";
  });
}

// The chunk list fails for seven steps (some 20 s) while the source goes on.
// Chunks already downloading still reach Stream.ts in those steps, and the
// first list after it: every segment it still holds after the last one
// started comes, not only the last three.
TEST(HlsFaults, ListFailingForTwentySecondsLosesNothing) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--window", "12"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(4);
    // The next segment is sent slowly, so its job is still running when the
    // list starts to fail: a step of the outage appends it.
    std::string made = server.get("control?advance=1");
    long next = std::stol(made.substr(made.find_first_of("0123456789")));
    server.get("control?segment=" + std::to_string(next) + "&slow=2");
    channel.step(0);
    size_t before = readFile(kStreamTs).size();
    server.get("control?playlist=v2.m3u8&fail=404&times=7");
    channel.settle();
    EXPECT_EQ(readFile(kStreamTs).size(), before) << "the slow segment is not in yet";
    channel.run(7);
    EXPECT_TRUE(channel.showed("CL 2 Error")) << channel.messages();
    EXPECT_GT(readFile(kStreamTs).size(), before) << "the log scan ran while the list failed";
    channel.run(4);
    std::vector<long> numbers = streamed(server, kSmall);
    expectInOrder(numbers, {}, 16);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// The server restarts early: the sequence drops to 0 and reuses names still
// in the ring. A sequence that goes back starts the ring anew, so the new
// segments come at once.
TEST(HlsLive, EarlyRestartIsANewStart) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(4);
    std::vector<long> numbers = streamed(server, kSmall);
    ASSERT_FALSE(numbers.empty());
    long last = numbers.back();
    server.get("control?restart=1");
    channel.run(2);
    numbers = streamed(server, kSmall);
    EXPECT_GE(numbers.back(), last + 2) << "new content within two steps";
    expectWholeStream(channel, server, kSmall, 6, {});
  });
}

// A 40-second outage (the list fails for fourteen steps while the source
// goes on): the player runs dry and ends. Stream.ts then begins anew at the
// live edge, and the player starts on it by the rule of a channel start, with
// "Picture back": the first picture after the outage is from after it, not
// the minutes that were already seen before.
TEST(HlsPlayer, PictureComesBackAtLiveAfterAFortySecondOutage) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kMegabyte, {"--window", "20"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    for (int i = 0; i < 12 && !emu::playing(); ++i) channel.run(1);
    ASSERT_TRUE(emu::playing()) << channel.messages();
    channel.run(1);
    long before = streamed(server, kMegabyte).back();
    server.get("control?playlist=v2.m3u8&fail=404");
    channel.run(14);  // 14 steps of 3 s
    ASSERT_FALSE(emu::playing()) << "the player ran dry";
    server.get("control?playlist=v2.m3u8&clear=1");
    for (int i = 0; i < 12 && !emu::playing(); ++i) channel.run(1);
    EXPECT_TRUE(emu::playing()) << channel.messages();
    EXPECT_TRUE(channel.showed("Picture back")) << channel.messages();
    EXPECT_EQ(channel.playerStarts(), 2);
    std::vector<long> numbers = streamed(server, kMegabyte);
    ASSERT_FALSE(numbers.empty());
    EXPECT_GE(numbers.front(), before + 14) << "the new Stream.ts begins after the outage";
    expectInOrder(numbers, {}, 7);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// A server that hangs on the chunk list for 40 s: every step's fetch gives up
// within its time limit, the segments listed meanwhile stay listed, and all
// of them come once it answers again, with no gap.
TEST(HlsFaults, FortySecondHangLosesNothingStillListed) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--window", "20", "--stop-after", "150"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(4);
    server.get("control?playlist=v2.m3u8&hang=40");
    auto start = std::chrono::steady_clock::now();
    int steps = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(40) && steps < 40) {
      channel.run(1);
      ++steps;
    }
    server.get("control?playlist=v2.m3u8&clear=1");
    channel.run(4);
    expectWholeStream(channel, server, kSmall, 4 + steps);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// ---- Streams as real servers make them --------------------------------

// A VOD list (#EXT-X-ENDLIST from the first fetch) is fetched whole from its
// first segment to its last, however long, and the player starts once it is
// all in Stream.ts, below the usual size.
TEST(HlsStreams, VodListIsFetchedWholeAndPlays) {
  inFreshProcess([] {
    // Longer than the parsed window of 32: the middle must come too.
    HlsServer server({"--mode", "vod", "--segments", "150", "--segment-bytes", std::to_string(kSmall)});
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    for (int i = 0; i < 24 && streamed(server, kSmall).size() < 150; ++i) channel.run(1, 0);
    std::vector<long> numbers = streamed(server, kSmall);
    std::vector<long> all(150);
    for (long n = 0; n < 150; ++n) all[static_cast<size_t>(n)] = n;
    EXPECT_EQ(numbers, all) << channel.messages();
    channel.run(1, 0);
    EXPECT_TRUE(emu::playing()) << channel.messages();
  });
}

// Each live variant one growing file, its segments byte ranges of it; the
// range of each is fetched.
TEST(HlsStreams, ByteRangesOfOneGrowingFile) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--byterange"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(8);
    expectWholeStream(channel, server, kSmall, 7);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// Playlists sent gzip-compressed without being asked.
TEST(HlsStreams, GzipPlaylists) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--gzip"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(8);
    EXPECT_TRUE(channel.showed("2500 kb/s")) << channel.messages();
    expectWholeStream(channel, server, kSmall, 7);
  });
}

// METHOD=AES-128: the key fetched once, the IV from the sequence number or
// the tag; Stream.ts holds the segments decrypted, byte for byte.
TEST(HlsStreams, Aes128SegmentsAreDecrypted) {
  for (std::vector<std::string> iv : {std::vector<std::string>{}, {"--key-iv", "a1b2c3d4e5f60718293a4b5c6d7e8f90"}}) {
    SCOPED_TRACE(iv.empty() ? "IV from the sequence number" : "IV from the tag");
    inFreshProcess([&] {
      std::vector<std::string> options = {"--aes-key", "000102030405060708090a0b0c0d0e0f"};
      options.insert(options.end(), iv.begin(), iv.end());
      HlsServer server(liveSource("flat", kSmall, options));
      ASSERT_FALSE(server.url().empty()) << server.line();
      Channel channel(server, "index.m3u8");
      channel.run(8);
      expectWholeStream(channel, server, kSmall, 7);
      EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
    });
  }
}

// A key that cannot be fetched: "Encrypted", and nothing reaches Stream.ts.
TEST(HlsStreams, Aes128KeyThatCannotBeFetched) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--aes-key", "000102030405060708090a0b0c0d0e0f"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    server.get("control?playlist=key.bin&fail=403");
    Channel channel(server, "index.m3u8");
    channel.run(2);
    EXPECT_TRUE(channel.showed("Encrypted")) << channel.messages();
    EXPECT_FALSE(exists(kStreamTs));
  });
}

// The best variant is dead (its chunk list answers 404): the next one down.
TEST(HlsStreams, DeadBestVariantFallsBackAndIsTakenBackOnceItWorks) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--fail-playlist", "v2.m3u8:404", "--stop-after", "200"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(8);
    EXPECT_TRUE(channel.showed("Lower variant")) << "404: the list is gone, at once: " << channel.messages();
    EXPECT_TRUE(channel.showed("1200 kb/s")) << channel.messages();
    EXPECT_NE(channel.jobUrl.rbegin()->second.find("/v1_"), std::string::npos) << channel.jobUrl.rbegin()->second;
    expectWholeStream(channel, server, kSmall, 6);
    // The best variant comes back: within about a minute the run is on it.
    server.get("control?playlist=v2.m3u8&clear=1");
    for (int i = 0; i < 24 && !channel.showed("Best variant"); ++i) channel.run(1);
    EXPECT_TRUE(channel.showed("Best variant")) << channel.messages();
    channel.run(2);
    EXPECT_NE(channel.jobUrl.rbegin()->second.find("/v2_"), std::string::npos) << channel.jobUrl.rbegin()->second;
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// One chunk-list fetch of the best variant runs past its limit while the
// channel starts: the start is tried again on the same variant, which is not
// given up for one bad moment.
TEST(HlsStreams, OneSlowListDoesNotMoveTheChannelDown) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    server.get("control?playlist=v2.m3u8&hang=6&times=1");
    Channel channel(server, "index.m3u8");
    channel.run(5);
    EXPECT_FALSE(channel.showed("Lower variant")) << channel.messages();
    EXPECT_NE(std::string(_OrvadoChunkListURL).find("v2.m3u8"), std::string::npos) << _OrvadoChunkListURL;
    expectWholeStream(channel, server, kSmall, 3);
  });
}

// Past the hundredth chunk: every chunk's file, log and number still fit,
// and Stream.ts holds all of them in order (the sanitizer run checks the
// buffers on the way).
TEST(HlsLive, PastChunkOneHundredAndFiftyNothingIsLost) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--window", "8", "--stop-after", "400"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(52, 3);  // 1-second segments
    EXPECT_GT(_Stream_Block, 150u);
    expectWholeStream(channel, server, kSmall, 150);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// A segment that trickles for minutes holds its job past its deadline: the
// job is ended and tried again, and the chunks behind it are not held back.
TEST(HlsFaults, JobPastItsDeadlineIsEndedAndTriedAgain) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--window", "8"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(3);
    long next = streamed(server, kSmall).back() + 2;
    server.get("control?segment=" + std::to_string(next) + "&slow=400&times=1");
    channel.run(2);
    std::vector<long> held = streamed(server, kSmall);
    EXPECT_LT(held.back(), next) << "the trickling chunk holds back those behind it";
    emu::advanceTicks(110 * 100);  // past the job's deadline
    channel.run(3);
    std::vector<long> numbers = streamed(server, kSmall);
    EXPECT_GT(numbers.back(), next) << channel.messages();
    expectWholeStream(channel, server, kSmall, 6);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// The chunk list's URL carries a token that the server takes four times; the
// master playlist, fetched again, hands out a fresh one. The run follows its
// variant under the new URL, silently, with nothing lost.
TEST(HlsStreams, TokenThatExpiresIsRenewedFromTheMaster) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--token-uses", "4"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(14);
    expectWholeStream(channel, server, kSmall, 14);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
    EXPECT_FALSE(channel.showed("CL 2 Error")) << channel.messages();
    EXPECT_NE(std::string(_OrvadoChunkListURL).find("v2.m3u8?token=t"), std::string::npos) << _OrvadoChunkListURL;
    EXPECT_EQ(std::string(_OrvadoChunkListURL).find("token=t0"), std::string::npos) << "a fresh token";
  });
}

// A server that serves players only and refuses wget's User-Agent: the TAP
// sends its own. A channel may give one of its own, any text.
TEST(HlsStreams, ServerThatRefusesWgetsUserAgent) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--refuse-agent", "Wget"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(4);
    expectWholeStream(channel, server, kSmall, 4);
  });
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--refuse-agent", "Orvado"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8", "tvUA1=It's my \"box\" $(reboot) `x`\n");
    channel.run(4);
    expectWholeStream(channel, server, kSmall, 4);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// A receiver whose root is read-only and brings no wget of its own: the
// package's wget beside the TAP is called by its full path.
TEST(HlsStreams, ReadOnlyRootPlaysWithThePackagesWget) {
  inFreshProcess([] {
    readOnlyRootWithoutWget();
    HlsServer server(liveSource("flat", kSmall));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(4);
    expectWholeStream(channel, server, kSmall, 4);
    EXPECT_TRUE(channel.readErrors().empty()) << channel.messages();
  });
}

// Sound in a rendition of its own: a variant whose segments carry sound is
// preferred; where none does, the best plays and the user is told.
TEST(HlsStreams, VariantsWithTheirSoundApart) {
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--audio-apart", "1"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(3);
    EXPECT_TRUE(channel.showed("1200 kb/s")) << channel.messages();
    EXPECT_FALSE(channel.showed("Sound apart")) << channel.messages();
  });
  inFreshProcess([] {
    HlsServer server(liveSource("flat", kSmall, {"--audio-apart", "3"}));
    ASSERT_FALSE(server.url().empty()) << server.line();
    Channel channel(server, "index.m3u8");
    channel.run(3);
    EXPECT_TRUE(channel.showed("2500 kb/s")) << channel.messages();
    EXPECT_TRUE(channel.showed("Sound apart")) << channel.messages();
  });
}

// HTTPS with a test CA made here by openssl: trusted (through wget's
// settings file, as `orvado-emu --ca-file` would make it), the channel plays;
// not trusted, the user reads "TLS Error".
TEST(HlsStreams, HttpsWithATestCa) {
  std::string dir = commandOutput("mktemp -d");
  dir.erase(dir.find_last_not_of('\n') + 1);
  ASSERT_FALSE(dir.empty());
  TestCa ca;
  ASSERT_TRUE(makeTestCa(dir, &ca));
  for (bool trusted : {true, false}) {
    SCOPED_TRACE(trusted ? "trusted" : "not trusted");
    inFreshProcess([&] {
      ASSERT_TRUE(trustOnDisk(trusted ? &ca : nullptr));
      HlsServer server(liveSource("flat", kSmall, {"--tls", ca.certPem, ca.keyPem}));
      ASSERT_EQ(server.url().rfind("https://", 0), 0u) << server.line();
      Channel channel(server, "index.m3u8");
      if (trusted) {
        channel.run(6);
        expectWholeStream(channel, server, kSmall, 5);
      } else {
        // The control requests need the CA: the source advances by itself.
        channel.step(0);
        channel.step(0);
        EXPECT_TRUE(channel.showed("TLS Error")) << channel.messages();
        EXPECT_FALSE(channel.showed("Pl 2\tError")) << channel.messages();
      }
    });
  }
  system(("rm -rf " + dir).c_str());
}
