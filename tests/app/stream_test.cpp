// The download pipeline against a real HTTP server on loopback and real wget:
// URI resolution, playlist and chunk-list modes, in-order appends, live
// lists, playback start, the error words, the chunk ring, and what real
// servers and networks do (layouts, cut and chunked answers, error pages,
// hangs, a full disk, stale and ended lists).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/ResolveUrl.h"
#include "app/orvado.h"
#include "app/stream_internal.h"
#include "lib/firmware/fwaccess.h"
#include "support/http_server.h"
#include "support/system_fault.h"
#include "support/testing.h"
#include "support/trace_capture.h"

using namespace orvado_test;

namespace {

const std::string kWww = "/mnt/hd/www";
const std::string kSettings = "/mnt/hd/ProgramFiles/Settings/orvado";
const std::string kTmp = "/mnt/hd/MediaFiles/tmp";
const std::string kStreamTs = kTmp + "/Stream.ts";

// A transport stream of `packets` packets whose payload bytes all carry
// `mark`, so a file made of chunks shows which chunks it holds, in what order.
std::string chunk(char mark, size_t packets = 10) {
  std::string ts(packets * 188, mark);
  for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
  return ts;
}

// The test server (support/http_server.h) serves the files of kWww, with its
// faults under /hang/, /trickle/, /chunked/, /once/, /short/ and /moved/.

void serve(const std::string& path, const std::string& content) { writeFile(kWww + "/" + path, content); }

// A media playlist. Lists that stay the same over the steps of a test say a
// long target duration, so that they do not count as stale.
std::string mediaList(const std::vector<std::string>& lines, int target = 60) {
  std::string s = "#EXTM3U\n#EXT-X-TARGETDURATION:" + std::to_string(target) + "\n";
  for (const std::string& l : lines) s += "#EXTINF:2.0,\n" + l + "\n";
  return s;
}

// A receiver in its power-on state with nothing left from an earlier case
// of the same program: the disk stays between processes.
void freshStart(const emu::Config& config = virtualConfig()) {
  freshReceiver(config);
  removeAll(kWww);
  ASSERT_EQ(system(("rm -f " + kTmp + "/* " + kSettings + "/*.lok " + kSettings + "/*.txt").c_str()), 0);
}

// Starts the TAP with channel 1 set to `url` and enters streaming mode by key 1.
void startChannel(const std::string& url) {
  writeFile(kSettings + "/orvado.ini", "tvname1=Test\ntvPL1=" + url + "\n");
  ASSERT_EQ(TAP_Main(), 1);
  ASSERT_STREQ(_OrvadoURL[0], url.c_str());
  ASSERT_EQ(TAP_EventHandler(EVT_KEY, RKEY_1, 0), 0u);
  ASSERT_EQ(_stream_load_flag, 1u);
}

size_t tapBlocks() {
  uint32_t fontBlocks = 0;
  FMUC_MemoryDump(&fontBlocks, nullptr);
  return emu::liveBlocks() - fontBlocks;
}

// One pipeline step through the event handler, as the firmware's idle events
// drive it. Returns the status messages that the step set, in order.
std::vector<std::string> step() {
  std::memset(_StatusausgabeTick, 0, sizeof _StatusausgabeTick);
  std::memset(_StatusausgabeText, 0, sizeof _StatusausgabeText);
  size_t blocks = tapBlocks();
  uint32_t due = _Streamtick;
  emu::advanceTicks(StreamStepTicks + 1);
  TAP_EventHandler(EVT_IDLE, 0, 0);
  EXPECT_NE(_Streamtick, due) << "the event ran a step";
  EXPECT_EQ(tapBlocks(), blocks) << "every block of the step is freed";
  EXPECT_EQ(emu::heapOverruns(), 0);
  std::vector<std::string> shown;
  for (int i = 0; i < 10; ++i)
    if (_StatusausgabeTick[i] != 0) shown.push_back(_StatusausgabeText[i]);
  return shown;
}

bool shows(const std::vector<std::string>& messages, const std::string& text) {
  for (const std::string& m : messages)
    if (m == text) return true;
  return false;
}

std::string joined(const std::vector<std::string>& messages) {
  std::string s;
  for (const std::string& m : messages) s += "[" + m + "]";
  return s;
}

// Background downloads end by themselves; waits (bounded) until every job
// not yet scanned has written its last word and no wget runs. The log counts
// too: a job that the shell has forked but not yet started is not "wget".
void waitForDownloads() {
  for (int i = 0; i < 500; ++i) {
    bool done = commandOutput("pidof wget").empty();
    for (uint32_t n = _Stream_Block_Ok; done && n < _Stream_Block; ++n) {
      std::string log = readFile(kSettings + "/" + std::to_string(n) + ".lok");
      done = stream_internal::JudgeChunkLog(log.c_str(), nullptr) != stream_internal::CHUNK_LOADING;
    }
    if (done) return;
    usleep(10000);
  }
  ADD_FAILURE() << "downloads still running after 5 s: "
                << commandOutput(
                       "pidof wget; ls -l /mnt/hd/ProgramFiles/Settings/orvado/ /mnt/hd/MediaFiles/tmp; tail -n2 "
                       "/mnt/hd/ProgramFiles/Settings/orvado/*.lok");
}

// The log of a background job that has ended with wget's exit `status`.
std::string finished(int status, const std::string& before = "     0K .......... 100% 1M=0s\n") {
  return before + "\n" + ChunkExitMarker + std::to_string(status) + "\n";
}

// The progress word after an append: the next log's number and the size in KiB.
std::string kB(uint32_t next, int64_t bytes) {
  return std::to_string(next) + ": " + std::to_string(bytes / 1024) + " kB";
}

// A playlist record, kept off the stack as the TAP keeps its own.
stream_internal::Playlist& parsed() {
  static stream_internal::Playlist list;
  return list;
}

const stream_internal::Playlist& parse(const char* text, int64_t from = -1) {
  stream_internal::ParsePlaylist(text, from, &parsed());
  return parsed();
}

// The log lines that reached the console so far and hold `text`, from
// `text` on (without their time stamp). The console is drained in the
// background: waits a moment for the first such line.
std::vector<std::string> logLines(const std::string& text) {
  static std::vector<std::string> seen;
  std::vector<std::string> lines;
  for (int i = 0; i < 20; ++i) {
    std::vector<std::string> more = takeConsoleLines();
    seen.insert(seen.end(), more.begin(), more.end());
    lines.clear();
    for (const std::string& line : seen) {
      size_t at = line.find(text);
      if (at != std::string::npos) lines.push_back(line.substr(at));
    }
    if (!lines.empty() && more.empty()) break;
    usleep(25000);
  }
  return lines;
}

// The receiver reports memory that the TAP frees but does not own, such as a
// file handle freed twice.
void noHandleComplaints() {
  for (const std::string& line : emu::consoleLines())
    EXPECT_EQ(line.find("not a block of TAP_MemAlloc"), std::string::npos) << line;
}

}  // namespace

// URI resolution: the examples of RFC 3986 section 5.4 (base
// http://a/b/c/d;p?q), and the forms that HLS servers write.
struct Resolution {
  const char* base;
  const char* reference;
  const char* expected;
};

void PrintTo(const Resolution& r, std::ostream* out) { *out << r.base << " + " << r.reference; }

class ResolveUrlExamples : public testing::TestWithParam<Resolution> {};

TEST_P(ResolveUrlExamples, GiveTheTargetUrl) {
  const Resolution& r = GetParam();
  char out[StreamUrlSize];
  ASSERT_TRUE(ResolveUrl(r.base, r.reference, strlen(r.reference), out, sizeof out));
  EXPECT_STREQ(out, r.expected);
}

constexpr const char* kRfcBase = "http://a/b/c/d;p?q";
const Resolution kRfc3986Normal[] = {
    {kRfcBase, "g:h", "g:h"},
    {kRfcBase, "g", "http://a/b/c/g"},
    {kRfcBase, "./g", "http://a/b/c/g"},
    {kRfcBase, "g/", "http://a/b/c/g/"},
    {kRfcBase, "/g", "http://a/g"},
    {kRfcBase, "//g", "http://g"},
    {kRfcBase, "?y", "http://a/b/c/d;p?y"},
    {kRfcBase, "g?y", "http://a/b/c/g?y"},
    {kRfcBase, "#s", "http://a/b/c/d;p?q#s"},
    {kRfcBase, "g#s", "http://a/b/c/g#s"},
    {kRfcBase, "g?y#s", "http://a/b/c/g?y#s"},
    {kRfcBase, ";x", "http://a/b/c/;x"},
    {kRfcBase, "g;x", "http://a/b/c/g;x"},
    {kRfcBase, "g;x?y#s", "http://a/b/c/g;x?y#s"},
    {kRfcBase, "", "http://a/b/c/d;p?q"},
    {kRfcBase, ".", "http://a/b/c/"},
    {kRfcBase, "./", "http://a/b/c/"},
    {kRfcBase, "..", "http://a/b/"},
    {kRfcBase, "../", "http://a/b/"},
    {kRfcBase, "../g", "http://a/b/g"},
    {kRfcBase, "../..", "http://a/"},
    {kRfcBase, "../../", "http://a/"},
    {kRfcBase, "../../g", "http://a/g"},
};
const Resolution kRfc3986Abnormal[] = {
    {kRfcBase, "../../../g", "http://a/g"},
    {kRfcBase, "../../../../g", "http://a/g"},
    {kRfcBase, "/./g", "http://a/g"},
    {kRfcBase, "/../g", "http://a/g"},
    {kRfcBase, "g.", "http://a/b/c/g."},
    {kRfcBase, ".g", "http://a/b/c/.g"},
    {kRfcBase, "g..", "http://a/b/c/g.."},
    {kRfcBase, "..g", "http://a/b/c/..g"},
    {kRfcBase, "./../g", "http://a/b/g"},
    {kRfcBase, "./g/.", "http://a/b/c/g/"},
    {kRfcBase, "g/./h", "http://a/b/c/g/h"},
    {kRfcBase, "g/../h", "http://a/b/c/h"},
    {kRfcBase, "g;x=1/./y", "http://a/b/c/g;x=1/y"},
    {kRfcBase, "g;x=1/../y", "http://a/b/c/y"},
    {kRfcBase, "g?y/./x", "http://a/b/c/g?y/./x"},
    {kRfcBase, "g?y/../x", "http://a/b/c/g?y/../x"},
    {kRfcBase, "g#s/./x", "http://a/b/c/g#s/./x"},
    {kRfcBase, "g#s/../x", "http://a/b/c/g#s/../x"},
    {kRfcBase, "http:g", "http:g"},
};
const Resolution kHlsForms[] = {
    {"http://127.0.0.1:8080/tv/master.m3u8", "gear1/prog_index.m3u8", "http://127.0.0.1:8080/tv/gear1/prog_index.m3u8"},
    {"http://127.0.0.1:8080/tv/gear1/prog_index.m3u8", "fileSequence0.ts",
     "http://127.0.0.1:8080/tv/gear1/fileSequence0.ts"},
    {"http://127.0.0.1:8080/tv/gear1/i.m3u8", "/live/seg1.ts", "http://127.0.0.1:8080/live/seg1.ts"},
    {"http://127.0.0.1:8080/tv/gear1/i.m3u8", "../seg1.ts", "http://127.0.0.1:8080/tv/seg1.ts"},
    {"http://127.0.0.1:8080/tv/i.m3u8", "//127.0.0.2:9000/x/s.ts", "http://127.0.0.2:9000/x/s.ts"},
    {"http://127.0.0.1:8080/tv/i.m3u8", "http://127.0.0.2:9000/y/s.ts", "http://127.0.0.2:9000/y/s.ts"},
    {"http://127.0.0.1:8080/tv/m.m3u8?token=a/b", "v/i.m3u8?k=1/2", "http://127.0.0.1:8080/tv/v/i.m3u8?k=1/2"},
    {"http://127.0.0.1:8080/tv/i.m3u8?token=a/b", "s1.ts", "http://127.0.0.1:8080/tv/s1.ts"},
    {"http://127.0.0.1:8080", "s1.ts", "http://127.0.0.1:8080/s1.ts"},
};
INSTANTIATE_TEST_SUITE_P(Rfc3986Normal, ResolveUrlExamples, testing::ValuesIn(kRfc3986Normal));
INSTANTIATE_TEST_SUITE_P(Rfc3986Abnormal, ResolveUrlExamples, testing::ValuesIn(kRfc3986Abnormal));
INSTANTIATE_TEST_SUITE_P(HlsForms, ResolveUrlExamples, testing::ValuesIn(kHlsForms));

TEST(ResolveUrl, RefusesWhatDoesNotFitAndNeverOverruns) {
  char out[16];
  std::memset(out, 'x', sizeof out);
  EXPECT_TRUE(ResolveUrl("http://a/b", "c/d.ts", 6, out, sizeof out));  // 15 characters
  EXPECT_STREQ(out, "http://a/c/d.ts");
  EXPECT_FALSE(ResolveUrl("http://a/b", "c/de.ts", 7, out, sizeof out));
  EXPECT_STREQ(out, "") << "nothing half-made is left";
  EXPECT_TRUE(ResolveUrl("http://a/b", "x/../c.ts?#", 9, out, sizeof out)) << "only `length` bytes count";
  EXPECT_STREQ(out, "http://a/c.ts");
  std::string longLine(StreamUrlSize, 'a');
  char url[StreamUrlSize];
  EXPECT_FALSE(ResolveUrl("http://a/", longLine.c_str(), longLine.size(), url, sizeof url));
  EXPECT_FALSE(ResolveUrl(nullptr, "g", 1, url, sizeof url));
}

TEST(FollowRedirects, ResolvesEachLocationAgainstTheUrlBefore) {
  char out[StreamUrlSize];
  const char* log =
      "--2026-12-07 12:32:32--  http://a/moved/x/b.m3u8\nHTTP request sent, awaiting response... 302 Found\n"
      "Location: /x/b.m3u8?s=1 [following]\n--2026-12-07 12:32:32--  http://a/x/b.m3u8?s=1\n"
      "HTTP request sent, awaiting response... 301 Moved Permanently\r\n"
      "Location: https://cdn.example:8443/live/c/b.m3u8 [following]\nLocation: unspecified\n"
      "Location: ../d/e.m3u8 [following]\n200 OK\n";
  std::string text(log);
  std::replace(text.begin(), text.end(), '\r', '\n');
  ASSERT_TRUE(stream_internal::FollowRedirects(text.c_str(), "http://a/moved/x/b.m3u8", out, sizeof out));
  EXPECT_STREQ(out, "https://cdn.example:8443/live/d/e.m3u8");
  ASSERT_TRUE(stream_internal::FollowRedirects("Saving to: 'x'\n", "http://a/i.m3u8", out, sizeof out));
  EXPECT_STREQ(out, "http://a/i.m3u8") << "no redirect";
  ASSERT_TRUE(stream_internal::FollowRedirects(nullptr, "http://a/i.m3u8", out, sizeof out));
  EXPECT_STREQ(out, "http://a/i.m3u8") << "no log";
  std::string tooLong = "Location: http://a/" + std::string(StreamUrlSize, 'p') + " [following]\n";
  ASSERT_TRUE(stream_internal::FollowRedirects(tooLong.c_str(), "http://a/i.m3u8", out, sizeof out));
  EXPECT_STREQ(out, "http://a/i.m3u8") << "a target that does not fit ends the chain";
}

TEST(StreamRing, KeepsTheLastTenAndDropsTheOldest) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(StremDlTest(("u" + std::to_string(i)).c_str()), 1) << i;
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[0], "u0");
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], "u9");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(StremDlTest(("u" + std::to_string(i)).c_str()), 0) << i;
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], "u9") << "a known URL leaves the ring as it is";
    EXPECT_EQ(StremDlTest("u10"), 1);
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[0], "u1");
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[8], "u9");
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], "u10");
    EXPECT_EQ(StremDlTest("u1"), 0);
    EXPECT_EQ(StremDlTest("u0"), 1) << "the oldest was dropped";
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[0], "u2");
    EXPECT_EQ(StremDlTest("u"), 1) << "exact comparison, no prefixes";
    EXPECT_EQ(StremDlTest(nullptr), 0);
  });
}

TEST(StreamPipeline, PlaylistModeAppendsChunksInOrder) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    ASSERT_TRUE(server.up());
    serve("live/a.ts", chunk('A'));
    serve("live/seg/b.ts", chunk('B', 20));
    serve("other/c.ts", chunk('C', 30));
    serve("live/index.m3u8", "#EXTM3U\r\n#EXTINF:2.0,\r\na.ts\r\n#EXTINF:2.0,\r\nseg/b.ts\r\n#EXTINF:2.0,\r\n" +
                                 server.url("other/c.ts") + "\r\n#EXT-X-ENDLIST\r\n");
    writeFile(kSettings + "/7.lok", "left over");
    startChannel(server.url("live/index.m3u8?token=1"));

    std::vector<std::string> shown = step();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0], "Playlistmode") << joined(shown);
    std::vector<std::string> all = shown;
    EXPECT_FALSE(exists(kSettings + "/7.lok")) << "old logs go at the start";
    EXPECT_EQ(std::string(_OrvadoURLXXX), server.url("live"));
    EXPECT_STREQ(_OrvadoChunkName, "index.m3u8?token=1");
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[8], server.url("live/a.ts").c_str()) << "the first chunk, then job 1";
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], server.url("live/seg/b.ts").c_str());
    EXPECT_EQ(_Stream_Block, 2u) << "the second chunk became job 1, the third waits";
    EXPECT_EQ(readFile(kStreamTs).substr(0, chunk('A').size()), chunk('A')) << "first chunk fetched at once";
    waitForDownloads();

    shown = step();
    all.insert(all.end(), shown.begin(), shown.end());
    EXPECT_EQ(_Stream_Block, 3u) << "the third chunk became job 2";
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], server.url("other/c.ts").c_str()) << "absolute chunk line used as is";
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[8], server.url("live/seg/b.ts").c_str()) << "relative line joined to the base";
    waitForDownloads();
    shown = step();
    all.insert(all.end(), shown.begin(), shown.end());
    shown = step();  // nothing new: every chunk of the list is in the ring
    EXPECT_EQ(shown, std::vector<std::string>{});
    // Jobs may finish before the scan of the step that started them; a step
    // that appends two shows the progress of the second only.
    size_t a = chunk('A').size(), b = chunk('B', 20).size(), c = chunk('C', 30).size();
    all.erase(std::remove(all.begin(), all.end(), kB(2, a + b)), all.end());
    EXPECT_EQ(all, (std::vector<std::string>{"Playlistmode", "Playlist ended", kB(3, a + b + c)}))
        << "the list's end is told once";
    EXPECT_EQ(_Stream_Block, 3u);
    EXPECT_EQ(_Stream_Block_Ok, 3u);
    EXPECT_EQ(readFile(kStreamTs), chunk('A') + chunk('B', 20) + chunk('C', 30));
    EXPECT_EQ(_StreamFileSize, static_cast<int64_t>(readFile(kStreamTs).size()));
    for (const char* gone : {"/1.lok", "/2.lok"}) EXPECT_FALSE(exists(kSettings + gone)) << gone;
    for (const char* gone : {"/tmp1.ts", "/tmp2.ts"}) EXPECT_FALSE(exists(kTmp + gone)) << gone;
    EXPECT_TRUE(emu::playing()) << "an ended list all in Stream.ts plays, far below the usual size";
    // Restarting the channel is a new run: the first chunk comes again at
    // once, and the chunks the last run started are fetched again.
    // The pace compares with the tick of the event before, so the clock moves
    // on here for the first step after the restart to be due.
    emu::advanceTicks(StreamStepTicks + 1);
    EXPECT_EQ(TAP_EventHandler(EVT_KEY, RKEY_Exit, 0), RKEY_Exit);
    EXPECT_EQ(_stream_load_flag, 0u);
    EXPECT_FALSE(exists(kStreamTs));
    ASSERT_EQ(TAP_EventHandler(EVT_KEY, RKEY_1, 0), 0u);
    EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Playlist ended"}));
    EXPECT_EQ(readFile(kStreamTs), chunk('A'));
    EXPECT_EQ(_Stream_Block, 2u) << "seg/b.ts is fetched again; seg/c.ts, the newest, waits";
    EXPECT_EQ(_Stream_Block_Ok, 1u);
    noHandleComplaints();
  });
}

// One scenario of the pipeline, run in a fresh process by a parameterised
// test named after it.
struct Scenario {
  const char* name;
  void (*run)();
};

std::string scenarioName(const testing::TestParamInfo<Scenario>& info) { return info.param.name; }
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// The variant of a master playlist, by its bandwidth: of equal ones the
// earlier; an absolute URL; none when the first says no bandwidth; and a
// variant without its URI line, which ends the step without a word.
class VariantChoice : public testing::TestWithParam<Scenario> {};
TEST_P(VariantChoice, ChoosesByBandwidth) { inFreshProcess(GetParam().run); }

const Scenario kVariantChoice[] = {
    {"EarlierOfTwoEqualHighestWins",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("tv/master.m3u8",
             "#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,CODECS=\"avc1.4d401e,mp4a.40.2\"\r\n"
             "low/index.m3u8\r\n#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=1200000\r\nhi/index.m3u8\r\n"
             "#EXT-X-STREAM-INF:BANDWIDTH=1200000\r\nhi2/index.m3u8\r\n");
       // Chunk names resolve against the variant's URL.
       serve("tv/hi/index.m3u8", mediaList({"1.ts", "2.ts"}));
       serve("tv/low/index.m3u8", mediaList({"1.ts", "2.ts"}));
       serve("tv/hi/1.ts", chunk('H'));
       serve("tv/hi/2.ts", chunk('I'));
       startChannel(server.url("tv/master.m3u8"));
       std::vector<std::string> shown = step();
       EXPECT_EQ(shown, (std::vector<std::string>{"Chunklistmode", "1200 kb/s"}));
       EXPECT_STREQ(_OrvadoChunkName, "hi/index.m3u8");
       EXPECT_EQ(readFile(kStreamTs), chunk('H'));
       EXPECT_EQ(_Stream_Block, 1u) << "of two chunks the second waits for the next step";
       step();
       waitForDownloads();
       step();
       EXPECT_EQ(readFile(kStreamTs), chunk('H') + chunk('I'));
       noHandleComplaints();
     }},
    {"AbsoluteVariantUrl",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("a/b/master.m3u8",
             "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000\nlow.m3u8\n"
             "#EXT-X-STREAM-INF:BANDWIDTH=2500000\n" +
                 server.url("cdn/x/list.m3u8") + "\n#EXT-X-STREAM-INF:BANDWIDTH=2499999\nmid.m3u8\n");
       serve("cdn/x/list.m3u8", mediaList({server.url("cdn/x/s1.ts")}));
       serve("cdn/x/s1.ts", chunk('X'));
       startChannel(server.url("a/b/master.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "2500 kb/s"}));
       EXPECT_EQ(std::string(_OrvadoChunkName), server.url("cdn/x/list.m3u8"));
       EXPECT_EQ(readFile(kStreamTs), chunk('X'));
       EXPECT_EQ(_Stream_Block, 1u);
     }},
    {"FirstVariantWithoutBandwidthChoosesNothing",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("m.m3u8",
             "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=x\nlow.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=900000\nhi.m3u8\n");
       startChannel(server.url("m.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "0 kb/s", "Start ts err"}));
       EXPECT_STREQ(_OrvadoChunkName, "m.m3u8");
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"VariantWithoutUriEndsTheStepSilently",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("m.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=900000\n\n#EXT-X-STREAM-INF:BANDWIDTH=1\n");
       startChannel(server.url("m.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode"}));
       EXPECT_FALSE(exists(kSettings + "/chlist.txt"));
       EXPECT_EQ(_Stream_Block, 0u);
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, VariantChoice, testing::ValuesIn(kVariantChoice), scenarioName);

// Master playlists as real servers write them: the variant is chosen by its
// BANDWIDTH attribute alone, and only #EXT-X-STREAM-INF entries are variants.
struct MasterCase {
  const char* name;
  const char* text;
  const char* chosen;  // the variant's URI line
  const char* shown;   // the "%u kb/s" notice
};
void PrintTo(const MasterCase& c, std::ostream* out) { *out << c.name; }

const MasterCase kMasters[] = {
    {"AverageBandwidthIsNotTheBandwidth",
     "#EXTM3U\n#EXT-X-STREAM-INF:AVERAGE-BANDWIDTH=5000000,BANDWIDTH=1000000\nlow.m3u8\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=2000000,AVERAGE-BANDWIDTH=100\nhi.m3u8\n",
     "hi.m3u8", "2000 kb/s"},
    {"IFrameAndRenditionEntriesAreNoVariants",
     "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"English\",URI=\"audio/eng.m3u8\"\n"
     "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=9000000,URI=\"iframe/hi.m3u8\"\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=1500000,AUDIO=\"aud\"\nvideo/hi.m3u8\n"
     "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=8000000,URI=\"iframe/lo.m3u8\"\n",
     "video/hi.m3u8", "1500 kb/s"},
    {"UriWithoutPlaylistExtension",
     "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nplay?id=7&q=lo\n#EXT-X-STREAM-INF:BANDWIDTH=900000\n/live/ch1/hi\n",
     "/live/ch1/hi", "900 kb/s"},
    {"QuotedCommasInCodecs",
     "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=900000,CODECS=\"avc1.4d401f,mp4a.40.2\",RESOLUTION=1280x720\nhd.m3u8\n"
     "#EXT-X-STREAM-INF:CODECS=\"mp4a.40.2,avc1.42e00a\",BANDWIDTH=300000\nsd.m3u8\n",
     "hd.m3u8", "900 kb/s"},
    {"LowerCaseAndSpacedAttributes",
     "#EXTM3U\n#EXT-X-STREAM-INF: bandwidth = 700000 ,resolution=640x360\na.m3u8\n"
     "#EXT-X-STREAM-INF:PROGRAM-ID=1, Bandwidth=1700000\nb.m3u8\n",
     "b.m3u8", "1700 kb/s"},
    {"CommaInUriLine", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\nv.m3u8?a=1,2\n", "v.m3u8?a=1,2", "1 kb/s"},
    // The receiver decodes H.264 and MPEG-2 up to 1080p: HEVC, VP9, E-AC-3
    // and 4K are passed over, whatever their bandwidth.
    {"HevcAndUhdAboveH264AreNotForTheReceiver",
     "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=9000000,CODECS=\"hvc1.2.4.L123.B0,mp4a.40.2\",RESOLUTION=1920x1080\nhevc."
     "m3u8\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=8000000,CODECS=\"avc1.640033,mp4a.40.2\",RESOLUTION=3840x2160\nuhd.m3u8\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=7000000,CODECS=\"avc1.640028,ec-3\",RESOLUTION=1920x1080\neac3.m3u8\n"
     "#EXT-X-STREAM-INF:BANDWIDTH=5000000,CODECS=\"avc1.640028,mp4a.40.2,stpp.ttml.im1t\",RESOLUTION=1920x1080\n"
     "hd.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=2000000,CODECS=\"mp4v.61,mp4a.6B\",RESOLUTION=720x576\nsd.m3u8\n",
     "hd.m3u8", "5000 kb/s"},
    {"BlankAndCommentLinesBeforeTheLastUriWithoutLineFeed",
     "\xEF\xBB\xBF#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\n\n# low\n  v.m3u8 "
     "\n#EXT-X-STREAM-INF:BANDWIDTH=3000\nw.m3u8",
     "w.m3u8", "3 kb/s"},
};

class MasterPlaylists : public testing::TestWithParam<MasterCase> {};
TEST_P(MasterPlaylists, ChooseTheVariantByItsBandwidth) {
  inFreshProcess([] {
    const MasterCase& c = GetParam();
    freshReceiver(virtualConfig());
    ASSERT_EQ(TAP_Main(), 1);
    std::memset(_StatusausgabeTick, 0, sizeof _StatusausgabeTick);
    std::strcpy(_OrvadoChunkName, "master.m3u8");
    std::strcpy(_OrvadoChunkListURL, "http://127.0.0.1:8080/tv/master.m3u8");
    stream_internal::ParsePlaylist(c.text, -1, &parsed());
    ASSERT_TRUE(stream_internal::ChooseVariant(parsed()));
    EXPECT_STREQ(_OrvadoChunkName, c.chosen);
    EXPECT_STREQ(_StatusausgabeText[0], c.shown);
    char expected[StreamUrlSize];
    ASSERT_TRUE(
        ResolveUrl("http://127.0.0.1:8080/tv/master.m3u8", c.chosen, std::strlen(c.chosen), expected, sizeof expected));
    EXPECT_STREQ(_OrvadoChunkListURL, expected);
  });
}
TEST(MasterPlaylists, NothingTheReceiverDecodesSaysSo) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    ASSERT_EQ(TAP_Main(), 1);
    std::memset(_StatusausgabeTick, 0, sizeof _StatusausgabeTick);
    std::strcpy(_OrvadoChunkListURL, "http://127.0.0.1:8080/tv/master.m3u8");
    stream_internal::ParsePlaylist(
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=9000000,CODECS=\"hvc1.2.4.L123.B0\"\nh.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=4000000,CODECS=\"hev1.1.6.L93.B0,mp4a.40.2\"\nl.m3u8\n",
        -1, &parsed());
    EXPECT_FALSE(stream_internal::ChooseVariant(parsed())) << "the step ends; the start is tried again";
    EXPECT_STREQ(_StatusausgabeText[0], "Cannot decode");
  });
}

INSTANTIATE_TEST_SUITE_P(RealWorld, MasterPlaylists, testing::ValuesIn(kMasters),
                         [](const testing::TestParamInfo<MasterCase>& p) { return std::string(p.param.name); });

// Media playlists as real servers write them: the chunks are the URI lines
// after #EXTINF, whatever their names hold; the last three are taken.
struct MediaCase {
  const char* name;
  const char* text;
  std::vector<std::string> chunks;  // resolved against http://h/tv/i.m3u8
};
void PrintTo(const MediaCase& c, std::ostream* out) { *out << c.name; }

const MediaCase kMediaLists[] = {
    {"NamesWithoutTs",
     "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6.0,\nsegment_121\n#EXTINF:6.0,\nsegment_122\n"
     "#EXTINF:6.0,\nsegment_123\n#EXTINF:6.0,\nsegment_124\n",
     {"http://h/tv/segment_122", "http://h/tv/segment_123", "http://h/tv/segment_124"}},
    {"CommasInQueries",
     "#EXTM3U\n#EXTINF:2.0,title, with comma\nchunk.ts?token=a,b\n#EXTINF:2.0,\n/x/chunk2.ts?t=c,d\n",
     {"http://h/tv/chunk.ts?token=a,b", "http://h/x/chunk2.ts?t=c,d"}},
    {"TagsBetweenInfAndUri",
     "\xEF\xBB\xBF#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:4,\n#EXT-X-PROGRAM-DATE-TIME:2026-12-07T10:00:00.000Z\n"
     "  a.aac.ts  \n\n#EXT-X-DISCONTINUITY\n#EXTINF:4,\n# the next one\nb.m4s\n",
     {"http://h/tv/a.aac.ts", "http://h/tv/b.m4s"}},
    {"LowLatencyPartsAreNoChunks",
     "#EXTM3U\n#EXT-X-PART-INF:PART-TARGET=0.5\n#EXTINF:2,\ns1.ts\n#EXT-X-PART:DURATION=0.5,URI=\"s2.p0.ts\"\n"
     "#EXT-X-PART:DURATION=0.5,URI=\"s2.p1.ts\"\n#EXTINF:2,\ns2.ts\n"
     "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"s3.p0.ts\"\n",
     {"http://h/tv/s1.ts", "http://h/tv/s2.ts"}},
    {"TsInCommentsAndTitles",
     "#EXTM3U\n# from encoder.ts\n#EXTINF:2.0,show.ts\nv/1\n#EXTINF:2.0,\nv/2\n#EXT-X-ENDLIST\n",
     {"http://h/tv/v/1", "http://h/tv/v/2"}},
};

class MediaPlaylists : public testing::TestWithParam<MediaCase> {};
TEST_P(MediaPlaylists, GiveTheirLastThreeChunks) {
  inFreshProcess([] {
    const MediaCase& c = GetParam();
    freshReceiver(virtualConfig());
    ASSERT_EQ(TAP_Main(), 1);
    stream_internal::ParsePlaylist(c.text, -1, &parsed());
    // A channel's first step, as the pipeline runs it.
    std::strcpy(stream_internal::Run.chunkListBase, "http://h/tv/i.m3u8");
    static stream_internal::Chunk chunks[StreamRingSize];
    int32_t k = stream_internal::SelectStep(parsed(), chunks);
    std::vector<std::string> got;
    for (int32_t i = 0; i < k; ++i) got.push_back(chunks[i].url);
    EXPECT_EQ(got, c.chunks);
  });
}
INSTANTIATE_TEST_SUITE_P(RealWorld, MediaPlaylists, testing::ValuesIn(kMediaLists),
                         [](const testing::TestParamInfo<MediaCase>& p) { return std::string(p.param.name); });

TEST(MediaPlaylists, EncryptedByTheirLastKey) {
  const std::pair<const char*, bool> lists[] = {
      {"#EXTM3U\n#EXTINF:2,\na.ts\n", false},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXTINF:2,\na.ts\n", true},
      {"#EXTM3U\n#EXT-X-KEY:URI=\"k\",METHOD=SAMPLE-AES\n#EXTINF:2,\na.ts\n", true},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXTINF:2,\na.ts\n#EXT-X-KEY:METHOD=NONE\n#EXTINF:2,\nb.ts\n",
       false},
      {"#EXTM3U\n#EXT-X-KEY:METHOD=NONE\n#EXTINF:2,\na.ts\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXTINF:2,\nb.ts\n",
       true},
      {"#EXTM3U\n# #EXT-X-KEY:METHOD=AES-128\n#EXTINF:2,\na.ts\n", false},
  };
  for (const auto& [text, encrypted] : lists) EXPECT_EQ(stream_internal::Encrypted(parse(text)), encrypted) << text;
}

TEST(MediaPlaylists, FragmentedMp4ByTheirMap) {
  const std::pair<const char*, bool> lists[] = {
      {"#EXTM3U\n#EXTINF:2,\na.ts\n", false},
      {"#EXTM3U\n#EXT-X-MAP:URI=\"init.mp4\"\n#EXTINF:2,\na.m4s\n", true},
      {"#EXTM3U\n#EXT-X-MAP:BYTERANGE=\"720@0\",URI=\"main.mp4?t=1\"\n#EXTINF:2,\na\n", true},
      {"#EXTM3U\n#EXT-X-MAP:URI=\"tables.ts?t=1\"\n#EXTINF:2,\na.ts\n", false},
  };
  for (const auto& [text, fmp4] : lists) EXPECT_EQ(parse(text).fragmentedMp4, fmp4) << text;
}

// An init segment that is part of a resource (ffmpeg's single-file fMP4) is
// fetched as that range only.
TEST(MediaPlaylists, MapByteRangeIsKeptForItsSegments) {
  const stream_internal::Playlist& list = parse(
      "#EXTM3U\n#EXT-X-MAP:URI=\"all.mp4\",BYTERANGE=\"720@16\"\n#EXTINF:2,\n#EXT-X-BYTERANGE:9000@736\nall.mp4\n"
      "#EXT-X-MAP:URI=\"b.mp4\"\n#EXTINF:2,\nb.m4s\n");
  ASSERT_EQ(list.windowCount, 2u);
  EXPECT_EQ(list.window[0].mapRangeStart, 16);
  EXPECT_EQ(list.window[0].mapRangeLength, 720);
  EXPECT_EQ(list.window[0].rangeStart, 736) << "the segment's own range stays its own";
  EXPECT_EQ(list.window[1].mapRangeStart, -1) << "a map without a range is the whole resource";
}

// Two thousand segments named without ".ts": still the last three.
TEST(StreamPipeline, LongListGivesItsLastThreeChunks) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) names.push_back("media_" + std::to_string(i) + "?sig=" + std::to_string(i * 7));
    serve("long/i.m3u8", mediaList(names));
    serve("long/media_1997", chunk('x'));
    startChannel(server.url("long/i.m3u8"));
    EXPECT_EQ(step(), std::vector<std::string>{"Playlistmode"});
    EXPECT_EQ(readFile(kStreamTs), chunk('x'));
    EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], server.url("long/media_1998?sig=13986").c_str());
    waitForDownloads();
  });
}

TEST(StreamPipeline, LiveListGrowsTheFileAndStartsThePlayer) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    const size_t packets = 5320;  // 1,000,160 bytes: the seventh chunk crosses 7,000,000
    std::string expected;
    auto slide = [&](int first) {
      std::vector<std::string> names;
      for (int i = first; i < first + 3; ++i) names.push_back("s" + std::to_string(i) + ".ts");
      serve("live/chunks.m3u8",
            "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(first) + "\n" + mediaList(names).substr(8));
    };
    for (int i = 1; i <= 14; ++i)
      serve("live/s" + std::to_string(i) + ".ts", chunk(static_cast<char>('a' + i), packets));
    slide(1);
    startChannel(server.url("live/chunks.m3u8"));
    bool crossed = false;
    int steps = 0;
    for (int first = 1; first <= 12 && !emu::playing(); ++first, ++steps) {
      slide(first);
      std::vector<std::string> shown = step();
      if (_StreamFileSize > 7000000 && !crossed) {
        crossed = true;
        EXPECT_TRUE(shows(shown, kB(_Stream_Block_Ok, _StreamFileSize))) << joined(shown);
        EXPECT_TRUE(emu::playing()) << "the player starts in the step that crosses the size";
        EXPECT_EQ(emu::playingFile(), kStreamTs);
      } else if (!crossed) {
        EXPECT_FALSE(emu::playing());
      }
      waitForDownloads();
    }
    ASSERT_TRUE(emu::playing());
    EXPECT_LE(steps, 8);
    // From the next event on the play record shows the playback: appends go
    // on without a word.
    // A job may finish before or after the scan of its own step, so the
    // last of these steps only scans.
    int64_t before = _StreamFileSize;
    std::vector<std::string> shown;
    for (int first = steps + 1; first <= steps + 3; ++first) {
      slide(std::min(first, steps + 2));
      std::vector<std::string> more = step();
      shown.insert(shown.end(), more.begin(), more.end());
      waitForDownloads();
    }
    EXPECT_GT(_StreamFileSize, before);
    for (const std::string& m : shown) EXPECT_EQ(m.find("kB"), std::string::npos) << m;
    EXPECT_TRUE(emu::playing());
    // Every chunk that was listed went in exactly once, in list order.
    std::string all = readFile(kStreamTs);
    size_t count = all.size() / (packets * 188);
    ASSERT_EQ(all.size(), count * packets * 188);
    for (size_t i = 0; i < count; ++i)
      EXPECT_EQ(all.substr(i * packets * 188, packets * 188), chunk(static_cast<char>('a' + 1 + i), packets)) << i;
    noHandleComplaints();
  });
}

// A live list of byte ranges of one file, without sequence numbers: the
// first chunk, fetched straight into Stream.ts, is known by its range as
// every other one is, so a later step does not fetch it again.
TEST(StreamPipeline, RangedFirstChunkIsNotFetchedTwice) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    serve("all.ts", chunk('a') + chunk('b', 20) + chunk('c', 30));
    serve("r.m3u8",
          "#EXTM3U\n#EXT-X-TARGETDURATION:60\n#EXTINF:2,\n#EXT-X-BYTERANGE:1880@0\nall.ts\n"
          "#EXTINF:2,\n#EXT-X-BYTERANGE:3760\nall.ts\n#EXTINF:2,\n#EXT-X-BYTERANGE:5640\nall.ts\n");
    startChannel(server.url("ranges/r.m3u8"));
    for (int i = 0; i < 4; ++i) {
      step();
      waitForDownloads();
    }
    EXPECT_EQ(readFile(kStreamTs), chunk('a') + chunk('b', 20) + chunk('c', 30)) << "each range once, in order";
    // A server that answers a range with the whole file: nothing of it is
    // taken for the range.
    TAP_EventHandler(EVT_KEY, RKEY_Exit, 0);
    startChannel(server.url("r.m3u8"));
    EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Start ts err"}));
    EXPECT_FALSE(exists(kStreamTs));
  });
}

// The shell cannot start a chunk's job (a fork that fails): the job counts
// as failed at once and is started again, instead of holding back every
// later chunk behind a log that never comes.
TEST(StreamPipeline, JobThatTheShellDidNotStartIsTriedAgain) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    for (char c : {'a', 'b', 'c', 'd'}) serve(std::string(1, c) + ".ts", chunk(c));
    serve("l.m3u8", mediaList({"a.ts", "b.ts", "c.ts"}));
    startChannel(server.url("l.m3u8"));
    step();
    waitForDownloads();
    failSystemOnce("tmp2.ts");
    serve("l.m3u8", mediaList({"a.ts", "b.ts", "c.ts", "d.ts"}));
    for (int i = 0; i < 3; ++i) {
      step();
      waitForDownloads();
    }
    EXPECT_EQ(readFile(kStreamTs), chunk('a') + chunk('b') + chunk('c') + chunk('d'));
  });
}

// A live list that covers less than two steps (three 1-second segments) is
// fetched again every target duration; one that covers more, every 3 s.
TEST(StreamPipeline, ShortWindowIsFetchedEveryTargetDuration) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    for (char c : {'a', 'b', 'c'}) serve(std::string(1, c) + ".ts", chunk(c));
    serve("l.m3u8",
          "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:1,\na.ts\n#EXTINF:1,\nb.ts\n"
          "#EXTINF:1,\nc.ts\n");
    startChannel(server.url("l.m3u8"));
    uint32_t before = _tick;
    step();
    EXPECT_EQ(_Streamtick, before + 100) << "the next step in one target duration";
    serve("l.m3u8", mediaList({"a.ts", "b.ts", "c.ts"}, 2));
    before = _tick;
    step();
    EXPECT_EQ(_Streamtick, before + StreamStepTicks) << "six seconds listed: the usual pace";
  });
}

// Chunks are judged by how their download ended: the exit status that the
// job's shell writes last, not the words met on the way.
TEST(StreamPipeline, LogScanKeepsNumberOrderAndJudgesByTheEnd) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    serve("c/1.ts", chunk('1'));
    serve("c/l.m3u8", mediaList({"1.ts"}));
    startChannel(server.url("c/l.m3u8"));
    step();
    ASSERT_EQ(readFile(kStreamTs), chunk('1'));
    ASSERT_EQ(_Stream_Block, 1u);
    // The list holds only the first chunk, which is in the ring: no further
    // downloads start, and the logs below stand in for the jobs.
    writeFile(kSettings + "/1.lok", "     0K .......... 45% 1M 0s\n");
    writeFile(kTmp + "/tmp1.ts", chunk('a'));
    writeFile(kSettings + "/2.lok", finished(0));
    writeFile(kTmp + "/tmp2.ts", chunk('b'));
    writeFile(kSettings + "/3.lok", "");
    writeFile(kTmp + "/tmp3.ts", chunk('c'));
    EXPECT_EQ(step(), std::vector<std::string>{}) << "log 1 still loading holds back log 2";
    writeFile(kSettings + "/1.lok", "  0K .. 26% 632M=0s\n(632 MB/s) - Connection closed at byte 50000. Retrying.\n");
    EXPECT_EQ(step(), std::vector<std::string>{}) << "while wget retries, the chunk is still loading";
    writeFile(kSettings + "/1.lok", "  0K .... 100% 1M=0s\n");
    EXPECT_EQ(step(), std::vector<std::string>{}) << "100% before wget has ended is not yet the end";
    EXPECT_EQ(readFile(kStreamTs), chunk('1'));
    writeFile(kSettings + "/1.lok", finished(0, "Connection closed at byte 5. Retrying.\n- 'tmp1.ts' saved [1880]\n"));
    EXPECT_EQ(step(), (std::vector<std::string>{kB(3, 188 * 30)}))
        << "a retry that succeeded is complete; an empty log ends the scan; one progress line for the step";
    EXPECT_EQ(readFile(kStreamTs), chunk('1') + chunk('a') + chunk('b'));
    EXPECT_EQ(_Stream_Block_Ok, 3u);
    writeFile(kSettings + "/3.lok", finished(8, "ERROR 404: Not Found.\n"));
    writeFile(kSettings + "/4.lok", finished(0));
    writeFile(kTmp + "/tmp4.ts", chunk('d'));
    EXPECT_EQ(step(), std::vector<std::string>{"3 Read err"}) << "a failed chunk ends the step";
    EXPECT_EQ(_StatusausgabeTick[0], _tick + 1000u) << "shown for 10 seconds from the step's event";
    EXPECT_TRUE(exists(kSettings + "/3.lok")) << "a failed chunk's log stays";
    EXPECT_TRUE(exists(kTmp + "/tmp3.ts"));
    EXPECT_EQ(step(), std::vector<std::string>{kB(5, 188 * 40)});
    EXPECT_EQ(readFile(kStreamTs), chunk('1') + chunk('a') + chunk('b') + chunk('d'));
    // Only whole transport-stream packets go in: an error page served with
    // 200, a chunk cut within a packet, an empty one, a missing one, and any
    // exit status but 0 are each left out.
    std::string cut = chunk('e');
    cut.pop_back();
    std::string html = "<html><body>Service unavailable</body></html>\n";
    html.resize(188, ' ');
    const std::pair<std::string, std::string> dropped[] = {
        {finished(0), html}, {finished(0), cut}, {finished(0), ""}, {finished(0), "-"}, {finished(4), chunk('f')}};
    uint32_t n = 5;
    for (const auto& [log, file] : dropped) {
      writeFile(kSettings + "/" + std::to_string(n) + ".lok", log);
      if (file != "-") writeFile(kTmp + "/tmp" + std::to_string(n) + ".ts", file);
      EXPECT_EQ(step(), std::vector<std::string>{std::to_string(n) + " Read err"}) << n;
      ++n;
    }
    EXPECT_EQ(readFile(kStreamTs), chunk('1') + chunk('a') + chunk('b') + chunk('d')) << "nothing of them went in";
    writeFile(kSettings + "/" + std::to_string(n) + ".lok", "wget exit 0 but more follows\n");
    EXPECT_EQ(step(), std::vector<std::string>{}) << "only a last line of its own counts";
    EXPECT_EQ(_Stream_Block_Ok, n);
    // wget could not write its file: the disk is full, and the run stops.
    writeFile(kSettings + "/" + std::to_string(n) + ".lok",
              finished(3, "Cannot write to '/mnt/hd/MediaFiles/tmp/tmp10.ts' (No space left on device).\n"));
    writeFile(kTmp + "/tmp11.ts", chunk('g'));
    EXPECT_EQ(step(), (std::vector<std::string>{std::to_string(n) + " Read err", "Disk full"}));
    writeFile(kSettings + "/" + std::to_string(n + 1) + ".lok", finished(0));
    EXPECT_EQ(step(), std::vector<std::string>{}) << "no later step of the run appends";
    EXPECT_FALSE(exists(kTmp + "/tmp11.ts")) << "what the run's downloads left goes";
    EXPECT_EQ(readFile(kStreamTs), chunk('1') + chunk('a') + chunk('b') + chunk('d'));
    noHandleComplaints();
  });
}

// Starts of the firmware's player, as the trace shows them.
struct PlayerStarts : orvado_test::TraceCapture {
  int count(const std::string& call = "] Appl_StartPlayback") {
    std::string all = text();
    int n = 0;
    for (size_t at = all.find(call); at != std::string::npos; at = all.find(call, at + 1)) ++n;
    return n;
  }
};

// When the player starts: once, on the append that crosses the size (the
// play record is refreshed only between events); again at a later append
// when it did not start; never over another playback.
class PlayerStartRules : public testing::TestWithParam<Scenario> {};
TEST_P(PlayerStartRules, HoldInTheStep) { inFreshProcess(GetParam().run); }

const Scenario kPlayerStartRules[] = {
    {"StartsOnceOnTheAppendThatCrossesTheSize",
     [] {
       PlayerStarts starts;
       freshStart(starts.config());
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"1.ts"}));
       serve("1.ts", chunk('1'));
       startChannel(server.url("l.m3u8"));
       step();
       const size_t big = 37234;  // with the first chunk just above 7,000,000 bytes
       writeFile(kTmp + "/tmp1.ts", chunk('a', big));
       writeFile(kSettings + "/1.lok", finished(0));
       writeFile(kTmp + "/tmp2.ts", chunk('b'));
       writeFile(kSettings + "/2.lok", finished(0));
       size_t size1 = (10 + big) * 188, size2 = size1 + 10 * 188;
       ASSERT_GT(size1, 7000000u);
       ASSERT_LT(size1 - 10 * 188, 7000000u);
       EXPECT_EQ(step(), (std::vector<std::string>{kB(2, size1), kB(3, size2)}));
       EXPECT_EQ(starts.count(), 1);
       EXPECT_TRUE(emu::playing());
       EXPECT_EQ(emu::playingFile(), kStreamTs);
       writeFile(kTmp + "/tmp3.ts", chunk('c'));
       writeFile(kSettings + "/3.lok", finished(0));
       EXPECT_EQ(step(), std::vector<std::string>{});
       EXPECT_EQ(_StreamFileSize, static_cast<int64_t>(size2 + 10 * 188));
       EXPECT_EQ(starts.count(), 1);
       noHandleComplaints();
     }},
    {"PlayerThatDoesNotStartIsTriedAgain",
     [] {
       PlayerStarts tries;
       emu::Config config = tries.config();
       config.leaveOut = {FW_Appl_StartPlaybackMedia};
       freshStart(config);
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"1.ts"}));
       serve("1.ts", chunk('1'));
       startChannel(server.url("l.m3u8"));
       step();
       writeFile(kTmp + "/tmp1.ts", chunk('a', 37234));
       writeFile(kSettings + "/1.lok", finished(0));
       writeFile(kTmp + "/tmp2.ts", chunk('b'));
       writeFile(kSettings + "/2.lok", finished(0));
       step();
       EXPECT_FALSE(emu::playing());
       EXPECT_EQ(tries.count("] ApplHdd_SelectFolder"), 2) << "tried at each append above the size";
       EXPECT_EQ(logLines("Orvado: the player did not start on /mnt/hd/MediaFiles/tmp/Stream.ts").size(), 1u);
     }},
    {"NeverOverAnotherPlayback",
     [] {
       PlayerStarts starts;
       freshStart(starts.config());
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"1.ts"}));
       serve("1.ts", chunk('1'));
       startChannel(server.url("l.m3u8"));
       step();
       writeFile("/mnt/hd/MediaFiles/other.ts", chunk('o'));
       uint32_t folder[4] = {FW_FolderRecordMarker, 0, 0, 0};
       ApplHdd_SaveWorkFolder();
       ASSERT_EQ(ApplHdd_SelectFolder(folder, "mnt/hd/MediaFiles"), 0);
       ApplHdd_SetWorkFolder(folder);
       ASSERT_EQ(Appl_StartPlaybackMedia("other.ts", 0, true, false), 0);
       ApplHdd_RestoreWorkFolder();
       step();  // the play record shows the playback from this event on
       int before = starts.count();
       writeFile(kTmp + "/tmp1.ts", chunk('a', 37234));
       writeFile(kSettings + "/1.lok", finished(0));
       EXPECT_EQ(step(), std::vector<std::string>{});
       EXPECT_GT(_StreamFileSize, 7000000);
       EXPECT_EQ(starts.count(), before);
       EXPECT_EQ(emu::playingFile(), "/mnt/hd/MediaFiles/other.ts");
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, PlayerStartRules, testing::ValuesIn(kPlayerStartRules), scenarioName);

// The last three chunk lines: a ".ts" line at the very end without a line
// feed counts but is not used; a line before the first #EXTINF is no chunk;
// without #EXTINF a ".ts" on the first line ends the selection; chunk lines
// one after another each count.
std::vector<std::string> tenNames() {
  std::vector<std::string> names;
  for (int i = 0; i < 10; ++i) names.push_back("n" + std::to_string(i) + ".ts");
  return names;
}

class ChunkSelection : public testing::TestWithParam<Scenario> {};
TEST_P(ChunkSelection, TakesTheLastThree) { inFreshProcess(GetParam().run); }

const Scenario kChunkSelection[] = {
    {"TenChunksGiveTheLastThree",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("s/l.m3u8", mediaList(tenNames()));
       serve("s/n7.ts", chunk('7'));
       startChannel(server.url("s/l.m3u8"));
       EXPECT_EQ(step(), std::vector<std::string>{"Playlistmode"});
       EXPECT_EQ(readFile(kStreamTs), chunk('7'));
       EXPECT_EQ(_Stream_Block, 2u) << "n8 started, n9 waits";
       EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], server.url("s/n8.ts").c_str());
       EXPECT_STREQ(_OrvadoDlTsFileName_OK[8], server.url("s/n7.ts").c_str());
       waitForDownloads();
     }},
    {"UnterminatedLastLineCountsButIsNotUsed",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("s/l.m3u8", mediaList(tenNames()) + "tail.ts");
       serve("s/n8.ts", chunk('8'));
       startChannel(server.url("s/l.m3u8"));
       EXPECT_EQ(step(), std::vector<std::string>{"Playlistmode"});
       EXPECT_EQ(readFile(kStreamTs), chunk('8'));
       EXPECT_EQ(_Stream_Block, 1u) << "n9 waits, tail is never used";
     }},
    {"LineBeforeTheFirstExtinfIsNoChunk",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("f.m3u8", "first.ts\n" + mediaList({"a.ts", "b.ts"}));
       serve("first.ts", chunk('f'));
       serve("a.ts", chunk('a'));
       startChannel(server.url("f.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode"}));
       EXPECT_EQ(readFile(kStreamTs), chunk('a'));
     }},
    {"TsOnTheFirstLineEndsTheSelection",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("f.m3u8", "first.ts\n#EXTM3U\na.ts\nb.ts\n");
       serve("first.ts", chunk('f'));
       serve("a.ts", chunk('a'));
       startChannel(server.url("f.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Start ts err"}));
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"ChunkLinesOneAfterAnother",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("d/l.m3u8", "#EXTM3U\nx.ts\ny.ts\nz.ts\n");
       serve("d/x.ts", chunk('x'));
       startChannel(server.url("d/l.m3u8"));
       step();
       EXPECT_EQ(readFile(kStreamTs), chunk('x'));
       EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], server.url("d/y.ts").c_str());
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, ChunkSelection, testing::ValuesIn(kChunkSelection), scenarioName);

namespace {

// Runs steps, waiting for the background jobs after each, until Stream.ts
// holds `expected` or `steps` steps have run. Returns every message shown.
std::vector<std::string> runUntil(const std::string& expected, int steps = 6) {
  std::vector<std::string> all;
  for (int i = 0; i < steps && readFile(kStreamTs) != expected; ++i) {
    std::vector<std::string> shown = step();
    all.insert(all.end(), shown.begin(), shown.end());
    waitForDownloads();
  }
  return all;
}

// Milliseconds that one pipeline step takes on the wall clock.
long long timedStep(std::vector<std::string>* shown) {
  auto start = std::chrono::steady_clock::now();
  *shown = step();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Three chunks served under live/, listed by `list` at `path` in the form
// `line(i)` gives; the test expects them whole and in order in Stream.ts.
void servesThreeChunks(const std::string& path, const std::function<std::string(int)>& line) {
  std::vector<std::string> lines;
  for (int i = 1; i <= 3; ++i) {
    serve("live/s" + std::to_string(i) + ".ts", chunk(static_cast<char>('0' + i), 10 * i));
    lines.push_back(line(i));
  }
  serve(path, mediaList(lines));
}

const std::string kThreeChunks = chunk('1', 10) + chunk('2', 20) + chunk('3', 30);

}  // namespace

class StreamFailures : public testing::TestWithParam<Scenario> {};
TEST_P(StreamFailures, ShowItsWordAndGoOn) { inFreshProcess(GetParam().run); }

const Scenario kFailures[] = {
    {"PlaylistShorterThanTenBytesIsTriedAgain",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("p.m3u8", "#EXTM3U\n");
       startChannel(server.url("p.m3u8"));
       EXPECT_EQ(step(), std::vector<std::string>{"Pl 4 Error"});
       EXPECT_EQ(step(), std::vector<std::string>{"Pl 4 Error"});
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"MissingPlaylistWordHoldsATabAndTheLogSaysWhy",
     [] {
       freshStart();
       HttpServer server(kWww);
       startChannel(server.url("none.m3u8"));
       EXPECT_EQ(step(), std::vector<std::string>{"Pl 2\tError"});
       EXPECT_EQ(step(), std::vector<std::string>{"Pl 2\tError"});
       // The log names what failed, the URL and wget's status, once while
       // the cause lasts.
       EXPECT_EQ(logLines("Orvado: "), std::vector<std::string>{"Orvado: Pl 2\tError: the fetch failed: " +
                                                                server.url("none.m3u8") + " (wget exit 8)"});
     }},
    {"MissingChunkListStartsAgain",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("m.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=300000\nmissing.m3u8\n");
       startChannel(server.url("m.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "300 kb/s", "CL 2 Error"}));
       EXPECT_EQ(_Stream_Block, 0u);
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "300 kb/s", "CL 2 Error"})) << "start again";
     }},
    {"FailedFirstChunkStartsAgain",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"gone.ts", "b.ts"}));
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Start ts err"}));
       EXPECT_EQ(_Stream_Block, 0u);
       EXPECT_FALSE(exists(kStreamTs)) << "no cut first chunk is left";
       serve("gone.ts", chunk('g'));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode"}));
       EXPECT_EQ(readFile(kStreamTs), chunk('g'));
       EXPECT_EQ(_Stream_Block, 1u) << "b.ts waits for the next step";
     }},
    {"FirstChunkThatIsNoVideoStartsAgain",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"page.ts", "b.ts"}));
       serve("page.ts", "<html><body>Not here</body></html>\n");
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Start ts err"}));
       EXPECT_EQ(_Stream_Block, 0u);
       EXPECT_FALSE(exists(kStreamTs)) << "the page never reaches Stream.ts";
     }},
    {"FailedChunkIsSkippedAndLaterOnesGoOn",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"old.ts", "a.ts", "missing.ts", "c.ts"}));
       serve("a.ts", chunk('a'));
       serve("c.ts", chunk('c'));
       startChannel(server.url("l.m3u8"));
       // Each download may fail or finish before the scan of its own step.
       // The failed one is started again twice while the list holds it,
       // then left out.
       std::vector<std::string> all;
       for (int i = 0; i < 5; ++i) {
         std::vector<std::string> shown = step();
         all.insert(all.end(), shown.begin(), shown.end());
         if (shows(shown, "1 Read err")) {
           EXPECT_EQ(shown.back(), "1 Read err") << "a failed chunk ends the step";
           EXPECT_EQ(_StatusausgabeTick[shown.size() - 1], _tick + 1000u) << "10 s";
         }
         waitForDownloads();
       }
       EXPECT_EQ(all, (std::vector<std::string>{"Playlistmode", "1 Read err", kB(3, 2 * chunk('a').size())}));
       EXPECT_EQ(logLines("Orvado: chunk 1 failed, try ").size(), 2u);
       EXPECT_TRUE(exists(kSettings + "/1.lok"));
       EXPECT_TRUE(exists(kTmp + "/tmp1.ts"));
       EXPECT_NE(readFile(kSettings + "/1.lok").find("404"), std::string::npos) << "wget's own log is kept";
       EXPECT_EQ(readFile(kStreamTs), chunk('a') + chunk('c'));
     }},
    {"OverlongVariantUrl",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("m.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n" + std::string(507, 'v') + ".m3u8\n");
       startChannel(server.url("m.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "URL >> 1"}));
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"OverlongChunkUrlIsSkippedAlone",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({std::string(490, 'x') + ".ts", "a.ts", "b.ts"}));
       serve("a.ts", chunk('a'));
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "URL >> 2"}));
       EXPECT_EQ(readFile(kStreamTs), chunk('a')) << "the next chunk starts the stream";
       EXPECT_EQ(_Stream_Block, 1u);
     }},
    {"VariantUrlThatDoesNotFitWithItsBase",
     [] {
       freshStart();
       HttpServer server(kWww);
       std::string dir = std::string(230, 'p') + "/" + std::string(230, 'q');
       serve(dir + "/m.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\n" + std::string(500, 'v') + ".m3u8\n");
       startChannel(server.url(dir + "/m.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "1 kb/s", "URL >> 1"}));
       EXPECT_FALSE(exists(kSettings + "/chlist.txt"));
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"NoDownloaderBesideTheTap",
     [] {
       // Neither the package's wget nor one of the receiver's own: the
       // word says that the downloader is missing, not the address.
       freshStart();
       readOnlyRootWithoutWget();
       HttpServer server(kWww);
       removeAll("/mnt/hd/ProgramFiles/wget");
       serve("l.m3u8", mediaList({"a.ts"}));
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), std::vector<std::string>{"wget Error"});
     }},
    {"ChannelWithoutUrlSaysSoOnce",
     [] {
       // "---" is what the settings give a channel without its key.
       freshStart();
       startChannel("---");
       writeFile(kSettings + "/3.lok", "x");
       EXPECT_EQ(step(), std::vector<std::string>{"No URL set"});
       EXPECT_FALSE(exists(kSettings + "/3.lok")) << "old logs go first";
       EXPECT_FALSE(exists(kSettings + "/playlist.txt"));
       EXPECT_EQ(_Stream_Block, 0u);
       // The step clears the status line first; here it stays as it was.
       emu::advanceTicks(StreamStepTicks + 1);
       TAP_EventHandler(EVT_IDLE, 0, 0);
       int lines = 0;
       for (int i = 0; i < 10; ++i)
         lines += _StatusausgabeTick[i] != 0 && std::string(_StatusausgabeText[i]) == "No URL set";
       EXPECT_EQ(lines, 1) << "the notice does not stack up while it shows";
     }},
    {"EncryptedListIsToldAndNotFetched",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("l.m3u8",
             "#EXTM3U\n#EXT-X-TARGETDURATION:60\n#EXT-X-KEY:METHOD=AES-128,URI=\"https://k/key?a,b\",IV=0x1\n" +
                 mediaList({"a.ts", "b.ts"}).substr(8));
       serve("a.ts", std::string(1880, 'e'));
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Encrypted"}));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Encrypted"})) << "said at every try";
       EXPECT_FALSE(exists(kStreamTs));
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"Fmp4OfHevcIsToldCannotDecode",
     [] {
       freshStart();
       HttpServer server(kWww);
       // The mp4 fuzz target's seed: the init's length, the init, a segment.
       std::string seed = readFile(std::string(ORVADO_SOURCE_DIR) + "/tests/fuzz/corpus/mp4/hevc_aac");
       size_t initSize = static_cast<uint8_t>(seed[2]) << 8 | static_cast<uint8_t>(seed[3]);
       serve("l.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:60\n#EXT-X-MAP:URI=\"init.mp4\"\n" +
                           mediaList({"a.m4s", "b.m4s"}).substr(8));
       serve("init.mp4", seed.substr(4, initSize));
       serve("a.m4s", seed.substr(4 + initSize));
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Cannot decode", "Start ts err"}));
       EXPECT_FALSE(exists(kStreamTs));
       EXPECT_EQ(_Stream_Block, 0u);
     }},
    {"QuoteInChannelUrlIsRefused",
     [] {
       freshStart();
       HttpServer server(kWww);
       startChannel(server.url("x';touch /mnt/hd/injected;'.m3u8"));
       EXPECT_EQ(step(), std::vector<std::string>{"URL >> 1"});
       EXPECT_FALSE(exists("/mnt/hd/injected"));
     }},
    {"QuoteInVariantLineIsRefused",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("m.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\nv';touch /mnt/hd/injected;'.m3u8\n");
       startChannel(server.url("m.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Chunklistmode", "1 kb/s", "URL >> 1"}));
       EXPECT_FALSE(exists("/mnt/hd/injected"));
     }},
    {"QuoteInChunkLineSkipsOnlyThatChunk",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("l.m3u8", mediaList({"a';touch /mnt/hd/injected;'.ts", "b.ts", "c.ts"}));
       serve("b.ts", chunk('b'));
       serve("c.ts", chunk('c'));
       startChannel(server.url("l.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "URL >> 2"}));
       EXPECT_FALSE(exists("/mnt/hd/injected"));
       EXPECT_EQ(readFile(kStreamTs), chunk('b'));
       std::vector<std::string> later = runUntil(chunk('b') + chunk('c'));
       EXPECT_EQ(readFile(kStreamTs), chunk('b') + chunk('c'));
       EXPECT_FALSE(shows(later, "URL >> 2")) << "the line is told once: " << joined(later);
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, StreamFailures, testing::ValuesIn(kFailures), scenarioName);

// Layouts that real servers write, and what real networks do to them.
class StreamLayouts : public testing::TestWithParam<Scenario> {};
TEST_P(StreamLayouts, ReachStreamTsWholeAndInOrder) { inFreshProcess(GetParam().run); }

const Scenario kLayouts[] = {
    {"VariantsInSubfolders",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("tv/master.m3u8",
             "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\ngear1/prog_index.m3u8\n"
             "#EXT-X-STREAM-INF:BANDWIDTH=2500000,CODECS=\"avc1.4d401f,mp4a.40.2\"\ngear2/prog_index.m3u8\n");
       std::string expected;
       std::vector<std::string> names;
       for (int i = 0; i < 3; ++i) {
         names.push_back("fileSequence" + std::to_string(i) + ".ts");
         serve("tv/gear2/" + names.back(), chunk(static_cast<char>('a' + i)));
         serve("tv/gear1/" + names.back(), chunk('x'));
         expected += chunk(static_cast<char>('a' + i));
       }
       serve("tv/gear2/prog_index.m3u8", mediaList(names));
       serve("tv/gear1/prog_index.m3u8", mediaList(names));
       startChannel(server.url("tv/master.m3u8"));
       std::vector<std::string> all = runUntil(expected);
       EXPECT_EQ(readFile(kStreamTs), expected);
       ASSERT_GE(all.size(), 2u);
       EXPECT_EQ(all[1], "2500 kb/s");
       EXPECT_EQ(std::string(_OrvadoChunkListURL), server.url("tv/gear2/prog_index.m3u8"));
     }},
    {"MasterWithTsInCommentsAndNames",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("tv/master.m3u8", "#EXTM3U\n# made from studio.ts\n#EXT-X-STREAM-INF:BANDWIDTH=900000\nhd.ts.m3u8\n");
       servesThreeChunks("tv/hd.ts.m3u8", [](int i) { return "../live/s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("tv/master.m3u8"));
       std::vector<std::string> all = runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       ASSERT_GE(all.size(), 2u);
       EXPECT_EQ(all[0], "Chunklistmode");
       EXPECT_EQ(all[1], "900 kb/s");
     }},
    {"VariantOnAnotherAddressByAbsoluteUrl",
     [] {
       freshStart();
       HttpServer server(kWww);
       HttpServer other(kWww, "127.0.0.2");
       ASSERT_TRUE(other.up());
       serve("tv/master.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=900000\n" + other.url("cdn/ch1/list.m3u8") + "\n");
       servesThreeChunks("cdn/ch1/list.m3u8", [](int i) { return "../../live/s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("tv/master.m3u8"));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], other.url("live/s3.ts").c_str()) << "resolved on the variant's host";
     }},
    {"RedirectedPlaylistsResolveWhereTheyLed",
     [] {
       freshStart();
       HttpServer server(kWww);
       serve("tv/master.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=900000\ngear/i.m3u8\n");
       servesThreeChunks("tv/gear/i.m3u8", [](int i) { return "../../live/s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("moved/moved/tv/master.m3u8"));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       EXPECT_EQ(std::string(_OrvadoChunkListURL), server.url("tv/gear/i.m3u8")) << "the variant, after two redirects";
     }},
    {"ChunkListRedirectedToAnotherHost",
     [] {
       freshStart();
       HttpServer server(kWww);
       HttpServer other(kWww, "127.0.0.2");
       ASSERT_TRUE(other.up());
       servesThreeChunks("cdn/i.m3u8", [](int i) { return "../live/s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("moved/cdn/i.m3u8?to=" + other.url("")));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], other.url("live/s3.ts").c_str()) << "resolved on the host it led to";
     }},
    {"RootRelativeChunks",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("tv/gear1/i.m3u8", [](int i) { return "/live/s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("tv/gear1/i.m3u8"));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
     }},
    {"DotSegmentChunks",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("live/gear1/i.m3u8", [](int i) { return "./../s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("live/gear1/i.m3u8"));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
     }},
    {"QueryStringsWithSlashes",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("live/i.m3u8",
                         [](int i) { return "s" + std::to_string(i) + ".ts?sig=a/b&t=" + std::to_string(i); });
       startChannel(server.url("live/i.m3u8?token=x/y/z"));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       EXPECT_STREQ(_OrvadoDlTsFileName_OK[9], server.url("live/s3.ts?sig=a/b&t=3").c_str());
     }},
    {"ChunkedResponsesWithoutLength",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("live/i.m3u8", [](int i) { return "/chunked/live/s" + std::to_string(i) + ".ts"; });
       startChannel(server.url("live/i.m3u8"));
       runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       EXPECT_FALSE(exists(kTmp + "/tmp1.ts")) << "nothing piles up";
     }},
    {"ChunkCutOnceIsFetchedAgainByWget",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("live/i.m3u8",
                         [](int i) { return (i == 2 ? "/once/live/s" : "/live/s") + std::to_string(i) + ".ts"; });
       startChannel(server.url("live/i.m3u8"));
       std::vector<std::string> all = runUntil(kThreeChunks);
       EXPECT_EQ(readFile(kStreamTs), kThreeChunks);
       EXPECT_FALSE(shows(all, "1 Read err")) << joined(all);
       EXPECT_FALSE(exists(kTmp + "/tmp1.ts")) << "the good file is not left behind";
     }},
    {"ChunkAlwaysCutIsLeftOut",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("live/i.m3u8",
                         [](int i) { return (i == 2 ? "/short/live/s" : "/live/s") + std::to_string(i) + ".ts"; });
       startChannel(server.url("live/i.m3u8"));
       std::string expected = chunk('1', 10) + chunk('3', 30);
       std::vector<std::string> all = runUntil(expected);
       EXPECT_EQ(readFile(kStreamTs), expected);
       EXPECT_TRUE(shows(all, "1 Read err")) << joined(all);
     }},
    {"ErrorPageServedWithOkIsLeftOut",
     [] {
       freshStart();
       HttpServer server(kWww);
       servesThreeChunks("live/i.m3u8", [](int i) { return "s" + std::to_string(i) + ".ts"; });
       serve("live/s2.ts", "<!DOCTYPE html><html><body><h1>Session expired</h1></body></html>\n");
       startChannel(server.url("live/i.m3u8"));
       std::string expected = chunk('1', 10) + chunk('3', 30);
       std::vector<std::string> all = runUntil(expected);
       EXPECT_EQ(readFile(kStreamTs), expected);
       EXPECT_TRUE(shows(all, "1 Read err")) << joined(all);
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, StreamLayouts, testing::ValuesIn(kLayouts), scenarioName);

// No step holds the receiver long, whatever the server does: each fetch in
// a step has its own time limit (3 s for playlists, 8 s for the first chunk).
// One case a server behaviour, so that the waits run side by side.
class StepTimeLimits : public testing::TestWithParam<Scenario> {};
TEST_P(StepTimeLimits, HoldWhateverTheServerDoes) { inFreshProcess(GetParam().run); }

// After a bounded step no fetch of it is left running.
void expectNoFetchLeft() { EXPECT_EQ(commandOutput("pidof wget"), "") << "no fetch of the step is left running"; }

// A playlist fetch from `path` of the test server ends the step in time with
// the error word.
void playlistStepIsBounded(const char* path, const char* what) {
  freshStart();
  HttpServer server(kWww);
  std::vector<std::string> shown;
  startChannel(server.url(path));
  EXPECT_LT(timedStep(&shown), 5000) << what;
  EXPECT_EQ(shown, std::vector<std::string>{"Pl 2\tError"});
  expectNoFetchLeft();
}

const Scenario kStepLimits[] = {
    {"PlaylistServerNeverAnswers", [] { playlistStepIsBounded("hang/p.m3u8", "a server that never answers"); }},
    {"PlaylistTricklesOneByteASecond",
     [] { playlistStepIsBounded("trickle/p.m3u8", "a server that answers one byte a second"); }},
    {"FirstChunkNeverComes",
     [] {
       freshStart();
       HttpServer server(kWww);
       std::vector<std::string> shown;
       serve("l.m3u8", mediaList({"/hang/s1.ts", "s2.ts"}));
       startChannel(server.url("l.m3u8"));
       long long ms = timedStep(&shown);
       EXPECT_GE(ms, 7000) << "the first chunk may take its 8 seconds";
       EXPECT_LT(ms, 11000);
       EXPECT_EQ(shown, (std::vector<std::string>{"Playlistmode", "Start ts err"}));
       EXPECT_FALSE(exists(kStreamTs));
       expectNoFetchLeft();
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, StepTimeLimits, testing::ValuesIn(kStepLimits), scenarioName);

// A chunk list that stops changing, and one that has ended, are told once.
TEST(StreamPipeline, StaleAndEndedListsAreTold) {
  inFreshProcess([] {
    freshStart();
    HttpServer server(kWww);
    for (const char* name : {"a", "b", "c"}) serve(std::string("l/") + name + ".ts", chunk(name[0]));
    serve("l/i.m3u8", mediaList({"a.ts"}, 1));
    startChannel(server.url("l/i.m3u8"));
    EXPECT_EQ(step(), std::vector<std::string>{"Playlistmode"});
    EXPECT_EQ(step(), std::vector<std::string>{"Playlist stale"}) << "unchanged for three target durations";
    EXPECT_EQ(step(), std::vector<std::string>{}) << "told once";
    serve("l/i.m3u8", mediaList({"a.ts", "b.ts"}, 1));
    std::vector<std::string> later = step();  // it moves again
    waitForDownloads();
    std::vector<std::string> more = step();
    later.insert(later.end(), more.begin(), more.end());
    // The append may come in either step, before or after the notice.
    std::sort(later.begin(), later.end());
    EXPECT_EQ(later, (std::vector<std::string>{kB(2, 2 * 1880), "Playlist stale"})) << "and stands still again";
    serve("l/i.m3u8", mediaList({"a.ts", "b.ts", "c.ts"}, 1) + "#EXT-X-ENDLIST\n");
    EXPECT_EQ(step(), std::vector<std::string>{"Playlist ended"});
    waitForDownloads();
    EXPECT_EQ(step(), std::vector<std::string>{kB(3, 3 * 1880)}) << "an ended list is not called stale";
    EXPECT_EQ(readFile(kStreamTs), chunk('a') + chunk('b') + chunk('c'));
  });
}

// A full disk stops the run's downloads with a word and leaves Stream.ts
// ending on a whole chunk. The media folder is a small file system of its own.
// A disk too small for the first chunk: the start says why and leaves no
// cut Stream.ts.
class FullDisk : public testing::TestWithParam<Scenario> {};
TEST_P(FullDisk, StopsTheRunCleanly) { inFreshProcess(GetParam().run); }

const Scenario kFullDisk[] = {
    {"DiskFillsUpDuringTheRun",
     [] {
       freshStart();
       ASSERT_EQ(system(("mkdir -p " + kTmp + " && mount -t tmpfs -o size=256k orvado-test " + kTmp).c_str()), 0);
       HttpServer server(kWww);
       const size_t packets = 200;  // 37,600 bytes a chunk
       std::vector<std::string> names;
       for (int i = 0; i < 12; ++i) {
         names.push_back("s" + std::to_string(i) + ".ts");
         serve("f/" + names.back(), chunk(static_cast<char>('a' + i), packets));
       }
       auto window = [&](int first) {
         serve("f/i.m3u8", mediaList(std::vector<std::string>(names.begin() + first, names.begin() + first + 3), 2));
       };
       window(0);
       startChannel(server.url("f/i.m3u8"));
       std::vector<std::string> all;
       for (int first = 0; first < 9 && !shows(all, "Disk full"); ++first) {
         window(first);
         std::vector<std::string> shown = step();
         all.insert(all.end(), shown.begin(), shown.end());
         waitForDownloads();
       }
       ASSERT_TRUE(shows(all, "Disk full")) << joined(all);
       EXPECT_EQ(commandOutput("pidof wget"), "") << "the run's downloads are stopped";
       std::string file = readFile(kStreamTs);
       const size_t size = packets * 188;
       ASSERT_EQ(file.size() % size, 0u) << "Stream.ts ends on a whole chunk";
       ASSERT_GE(file.size(), 2 * size);
       for (size_t i = 0; i < file.size() / size; ++i)
         EXPECT_EQ(file.substr(i * size, size), chunk(static_cast<char>('a' + i), packets)) << i;
       uint32_t started = _Stream_Block;
       window(9);
       EXPECT_EQ(step(), std::vector<std::string>{}) << "no further step of the run";
       EXPECT_EQ(_Stream_Block, started);
       EXPECT_EQ(readFile(kStreamTs), file);
       system(("umount " + kTmp).c_str());
     }},
    {"DiskTooSmallForTheFirstChunk",
     [] {
       freshStart();
       ASSERT_EQ(system(("mkdir -p " + kTmp + " && mount -t tmpfs -o size=16k orvado-test " + kTmp).c_str()), 0);
       HttpServer server(kWww);
       serve("f/s0.ts", chunk('a', 200));
       serve("f/i.m3u8", mediaList({"s0.ts"}));
       startChannel(server.url("f/i.m3u8"));
       EXPECT_EQ(step(), (std::vector<std::string>{"Playlistmode", "Start ts err", "Disk full"}));
       EXPECT_FALSE(exists(kStreamTs));
       EXPECT_EQ(_Stream_Block, 0u) << "the start is tried again";
       system(("umount " + kTmp).c_str());
     }},
};
INSTANTIATE_TEST_SUITE_P(Scenario, FullDisk, testing::ValuesIn(kFullDisk), scenarioName);

// ---- The playlist read once ----------------------------------------------

TEST(ParsePlaylist, ReadsSegmentsWithTheirTags) {
  const char* text =
      "#EXTM3U\r\n#EXT-X-TARGETDURATION:6\r\n#EXT-X-MEDIA-SEQUENCE:100\r\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"k/1.bin\",IV=0x000102030405060708090a0b0c0d0e0f\r\n"
      "#EXTINF:6.006,first\r\n#EXT-X-BYTERANGE:1000@500\r\nall.ts\r\n"
      "#EXT-X-DISCONTINUITY\n#EXTINF:5,\n#EXT-X-BYTERANGE:300\nall.ts\n"
      "#EXT-X-KEY:METHOD=NONE\n#EXT-X-MAP:URI=\"tables.ts\"\n#EXTINF:4.5,\nlast.ts\n#EXT-X-ENDLIST\n";
  const stream_internal::Playlist& list = parse(text);
  EXPECT_TRUE(list.media);
  EXPECT_FALSE(list.master);
  EXPECT_TRUE(list.ended);
  EXPECT_TRUE(list.hasSequence);
  EXPECT_FALSE(list.fragmentedMp4) << "a map of transport stream tables";
  EXPECT_EQ(list.targetDuration, 6);
  EXPECT_EQ(list.mediaSequence, 100);
  ASSERT_EQ(list.segmentCount, 3u);
  ASSERT_EQ(list.windowCount, 3u);
  const stream_internal::PlaylistSegment* s = list.window;
  EXPECT_EQ(std::string(s[0].uri.at, s[0].uri.length), "all.ts");
  EXPECT_EQ(s[0].sequence, 100);
  EXPECT_EQ(s[0].durationMs, 6006u);
  EXPECT_EQ(s[0].rangeStart, 500);
  EXPECT_EQ(s[0].rangeLength, 1000);
  EXPECT_EQ(s[0].key.method, stream_internal::KEY_AES128);
  EXPECT_EQ(std::string(s[0].key.uri.at, s[0].key.uri.length), "k/1.bin");
  EXPECT_EQ(std::string(s[0].key.iv.at, s[0].key.iv.length), "0x000102030405060708090a0b0c0d0e0f");
  EXPECT_FALSE(s[0].discontinuity);
  EXPECT_TRUE(s[1].discontinuity);
  EXPECT_EQ(s[1].rangeStart, 1500) << "a range without offset follows the one before";
  EXPECT_EQ(s[1].rangeLength, 300);
  EXPECT_NE(s[0].lineHash, s[1].lineHash) << "one URL, two ranges: two segments";
  EXPECT_EQ(s[2].key.method, stream_internal::KEY_NONE);
  EXPECT_EQ(s[2].durationMs, 4500u);
  EXPECT_EQ(s[2].rangeStart, -1);
  EXPECT_EQ(std::string(s[2].map.at, s[2].map.length), "tables.ts");
  EXPECT_EQ(s[2].sequence, 102);
  EXPECT_FALSE(stream_internal::Encrypted(list)) << "the last key decides";
  EXPECT_EQ(list.first.sequence, 100);
}

// The window holds the last segments, or, given a sequence number, starts no
// later than it: what a step after a pause, or a long VOD list, needs.
TEST(ParsePlaylist, WindowEndsTheListOrStartsAtFrom) {
  std::string text = "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:100\n";
  for (int i = 0; i < 100; ++i) text += "#EXTINF:2,\ns" + std::to_string(100 + i) + ".ts\n";
  const struct {
    int64_t from;
    uint32_t start;
  } cases[] = {{-1, 68}, {110, 10}, {5, 0}, {180, 68}, {1000, 68}};
  for (const auto& c : cases) {
    const stream_internal::Playlist& list = parse(text.c_str(), c.from);
    EXPECT_EQ(list.segmentCount, 100u);
    EXPECT_EQ(list.windowStart, c.start) << c.from;
    EXPECT_EQ(list.windowCount, stream_internal::PlaylistWindow) << c.from;
    EXPECT_EQ(list.window[0].sequence, 100 + c.start) << c.from;
    EXPECT_EQ(std::string(list.window[0].uri.at, list.window[0].uri.length),
              "s" + std::to_string(100 + c.start) + ".ts");
    EXPECT_EQ(std::string(list.first.uri.at, list.first.uri.length), "s100.ts");
  }
}

TEST(ParsePlaylist, VariantsRenditionsAndTheirSound) {
  const char* text =
      "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"apart\",NAME=\"en\",URI=\"a/en.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"in\",NAME=\"main\"\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=3000000,AUDIO=\"apart\",CODECS=\"avc1.64001f,mp4a.40.2\"\nhi.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=2000000,AUDIO=\"in\",RESOLUTION=1280x720\nmid.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=1000000,CODECS=\"avc1.42e00a\"\nmute.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=500000\nlow.m3u8\n";
  const stream_internal::Playlist& list = parse(text);
  ASSERT_EQ(list.variantCount, 4u);
  ASSERT_EQ(list.renditionCount, 2u);
  EXPECT_EQ(std::string(list.rendition[0].uri.at, list.rendition[0].uri.length), "a/en.m3u8");
  EXPECT_EQ(list.rendition[1].uri.at, nullptr);
  EXPECT_EQ(std::string(list.variant[1].resolution.at, list.variant[1].resolution.length), "1280x720");
  EXPECT_EQ(list.variant[0].bandwidth, 3000000u);
  const bool sound[] = {false, true, false, true};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(stream_internal::VariantHasSound(list, list.variant[i]), sound[i]) << i;
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    ASSERT_EQ(TAP_Main(), 1);
    std::strcpy(_OrvadoChunkListURL, "http://h/m.m3u8");
    stream_internal::Run.variantSkip = 0;
    ASSERT_TRUE(stream_internal::ChooseVariant(parsed()));
    EXPECT_STREQ(_OrvadoChunkName, "mid.m3u8") << "the best with its sound in its own segments";
    std::strcpy(_OrvadoChunkListURL, "http://h/m.m3u8");
    stream_internal::Run.variantSkip = 1;
    ASSERT_TRUE(stream_internal::ChooseVariant(parsed()));
    EXPECT_STREQ(_OrvadoChunkName, "low.m3u8") << "after a failed start, the next one down";
    EXPECT_EQ(stream_internal::Run.variantChoices, 4u);
    // Sound apart in every video variant, and an audio-only variant: the
    // picture comes first, even without its sound.
    std::strcpy(_OrvadoChunkListURL, "http://h/m.m3u8");
    stream_internal::Run.variantSkip = 0;
    ASSERT_TRUE(stream_internal::ChooseVariant(
        parse("#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",URI=\"en.m3u8\"\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=96000,CODECS=\"mp4a.40.2\"\nsound.m3u8\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=800000,CODECS=\"avc1.42e00a,mp4a.40.2\",AUDIO=\"a\"\nvideo.m3u8\n")));
    EXPECT_STREQ(_OrvadoChunkName, "video.m3u8");
    EXPECT_STREQ(stream_internal::Run.soundListUrl, "http://h/en.m3u8") << "its sound is fetched from the rendition";
    // Of the group, the one marked DEFAULT=YES, not the first; a default of
    // another group does not count.
    std::strcpy(_OrvadoChunkListURL, "http://h/m.m3u8");
    ASSERT_TRUE(stream_internal::ChooseVariant(
        parse("#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"b\",NAME=\"x\",DEFAULT=YES,URI=\"other.m3u8\"\n"
              "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",URI=\"en.m3u8\"\n"
              "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"de\",DEFAULT=YES,URI=\"de.m3u8\"\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=800000,CODECS=\"avc1.42e00a,mp4a.40.2\",AUDIO=\"a\"\nvideo.m3u8\n")));
    EXPECT_STREQ(stream_internal::Run.soundListUrl, "http://h/de.m3u8");
  });
}

// FIPS 197 appendix C.1, and a file that openssl encrypted as HLS servers do.
TEST(Aes128, DecryptsAsFips197AndOpenssl) {
  uint8_t key[16], iv[16] = {};
  for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(i);
  uint8_t block[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30, 0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
  stream_internal::Aes128CbcDecrypt(key, iv, block, 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], static_cast<uint8_t>(i * 0x11)) << i;
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    uint8_t fileKey[16], fileIv[16];
    for (int i = 0; i < 16; ++i) fileKey[i] = static_cast<uint8_t>(i), fileIv[i] = static_cast<uint8_t>(0xA0 + i);
    std::string plain = chunk('p', 300) + "tail";  // not a whole number of blocks
    writeFile(kTmp + "/plain.ts", plain);
    ASSERT_EQ(system(("openssl enc -aes-128-cbc -K 000102030405060708090a0b0c0d0e0f -iv "
                      "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf -in " +
                      kTmp + "/plain.ts -out " + kTmp + "/c.ts")
                         .c_str()),
              0);
    ASSERT_TRUE(stream_internal::DecryptFile((kTmp + "/c.ts").c_str(), fileKey, fileIv));
    EXPECT_EQ(readFile(kTmp + "/c.ts"), plain);
    // Wrong padding (a plain file taken for a cipher text) leaves it as it was.
    writeFile(kTmp + "/bad.ts", chunk('x', 16));
    EXPECT_FALSE(stream_internal::DecryptFile((kTmp + "/bad.ts").c_str(), fileKey, fileIv));
    EXPECT_EQ(readFile(kTmp + "/bad.ts"), chunk('x', 16));
    EXPECT_FALSE(exists(kTmp + "/bad.ts.dec"));
    EXPECT_EQ(emu::heapOverruns(), 0);
  });
}
