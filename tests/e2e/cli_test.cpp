// The emulator's command line, run as a user would run it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/hls_server.h"
#include "support/test_ca.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

struct Result {
  int status = -1;
  std::string out;
};

Result shell(const std::string& command) {
  Result r;
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = p ? pclose(p) : -1;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

const std::string kEmulator = ORVADO_RUN_PREFIX + std::string(ORVADO_BINARY_DIR) + "/orvado-emu ";

Result emulator(const std::string& args) { return shell(kEmulator + args + " 2>&1"); }

// A folder outside /mnt, which the emulator's own sandbox replaces.
std::string scratch() {
  static std::string dir = [] {
    char name[] = "/tmp/orvado-e2e-XXXXXX";
    return std::string(mkdtemp(name));
  }();
  return dir;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// Removes the scratch folder once all tests have run.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override { removeAll(scratch()); }
};
const auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

TEST(Cli, HelpAndBadArguments) {
  Result help = emulator("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "usage: orvado-emu")) << help.out;
  EXPECT_TRUE(contains(help.out, "--trace"));

  Result none = emulator("");
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(contains(none.out, "no TAP file given")) << none.out;

  Result unknown = emulator("--frobnicate x.tap");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(contains(unknown.out, "unknown option --frobnicate")) << unknown.out;

  Result badKey = emulator("--keys 2s:purple " ORVADO_TAP_FILE);
  EXPECT_EQ(badKey.status, 2);
  EXPECT_TRUE(contains(badKey.out, "bad key press \"2s:purple\"")) << badKey.out;

  Result badTime = emulator("--run soon " ORVADO_TAP_FILE);
  EXPECT_EQ(badTime.status, 2);
  EXPECT_TRUE(contains(badTime.out, "bad time for --run")) << badTime.out;

  Result missing = emulator("/mnt/hd/none.tap");
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(contains(missing.out, "cannot read TAP file /mnt/hd/none.tap")) << missing.out;

  Result symbol = emulator("--without _nothing --run 1s " ORVADO_TAP_FILE);
  EXPECT_EQ(symbol.status, 1);
  EXPECT_TRUE(contains(symbol.out, "unknown firmware symbol: _nothing")) << symbol.out;
}

// The help offers only what this build has; the rest is refused by name
// (the receiver-CPU build has neither the decoding player nor the web page).
TEST(Cli, OptionsOfLeftOutPartsAreNeitherOfferedNorAccepted) {
  Result help = emulator("--help");
  EXPECT_EQ(contains(help.out, "--audio FILE"), bool(ORVADO_PLAYER)) << help.out;
  EXPECT_EQ(contains(help.out, "--web [ADDR:]PORT"), bool(ORVADO_WEB)) << help.out;
  if (!ORVADO_PLAYER) {
    Result audio = emulator("--audio /tmp/a.wav " ORVADO_TAP_FILE);
    EXPECT_EQ(audio.status, 2);
    EXPECT_TRUE(contains(audio.out, "--audio is not available in this build")) << audio.out;
  }
  if (!ORVADO_WEB) {
    Result web = emulator("--web 0 " ORVADO_TAP_FILE);
    EXPECT_EQ(web.status, 2);
    EXPECT_TRUE(contains(web.out, "--web is not available in this build")) << web.out;
  }
}

TEST(Cli, RefusesAFileThatIsNoTap) {
  writeFile(scratch() + "/fake.tap", "#!/bin/sh\necho hello\n");
  Result r = emulator("--run 1s " + scratch() + "/fake.tap");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, scratch() + "/fake.tap is not a TAP file")) << r.out;
}

TEST(Cli, RunsTheTapWithKeysTraceAndScreenshot) {
  const std::string disk = scratch() + "/run", shotFile = scratch() + "/shot.png";
  Result r = emulator("--virtual-clock --trace --disk " + disk + " --keys 2s:1,4s:exit,6s:exit --screenshot " +
                      shotFile + " --screenshot-at 1s " ORVADO_TAP_FILE);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "TAP_Main() = 1"));
  EXPECT_TRUE(contains(r.out, "TAP_GetSystemId() = 22010"))
      << "the key translation looks up the receiver model in the description file at start";
  EXPECT_TRUE(contains(r.out, "event 0x100 (0x10001, 0x0) = 0x0")) << "digit 1 consumed";
  EXPECT_TRUE(contains(r.out, "TAP_Exit()"));
  EXPECT_TRUE(contains(r.out, "[receiver console] receiver: screenshot saved to " + shotFile));
  emu::Image shot;
  std::string error;
  ASSERT_TRUE(emu::loadPng(shotFile, shot, &error)) << error;
  EXPECT_EQ(shot.width, 720u);
  EXPECT_EQ(shot.height, 576u);
  // The status line's boxes are drawn in the top-left corner.
  EXPECT_NE(shot.pixels[5 * 720 + 20] & 0xFFFFFF, 0u);
  // The disk folder was used as /mnt/hd: the start sequence made its folders.
  EXPECT_TRUE(exists(disk + "/ProgramFiles/Settings/orvado"));
  EXPECT_TRUE(exists(disk + "/MediaFiles/tmp"));
  EXPECT_TRUE(exists(disk + "/ProgramFiles/wget"));
}

TEST(Cli, KeysFromStandardInput) {
  Result r = emulator("--stdin " ORVADO_TAP_FILE " < " + [] {
    std::string keys = scratch() + "/keys.txt";
    writeFile(keys, "1\npurple\nexit\n\nexit\n");
    return keys;
  }());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "key 0x10001 consumed by the TAP")) << r.out;
  EXPECT_TRUE(contains(r.out, "unknown key \"purple\"")) << r.out;
  EXPECT_TRUE(contains(r.out, "key 0x10017 passed on to the firmware")) << r.out;
  EXPECT_TRUE(contains(r.out, "the TAP has ended itself (TAP_Exit)")) << r.out;
}

TEST(Cli, TraceLeavesOutTheCallsItIsToldTo) {
  Result r = emulator("--virtual-clock --run 1s --trace-skip TAP_GetTick,TAP_GetState,idle " ORVADO_TAP_FILE);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "TAP_Main() = 1")) << "tracing is on";
  EXPECT_FALSE(contains(r.out, "TAP_GetTick()"));
  EXPECT_FALSE(contains(r.out, "TAP_GetState()"));
  EXPECT_FALSE(contains(r.out, "event 0x0 "));
  EXPECT_TRUE(contains(r.out, "TAP_Hdd_GetPlayInfo")) << "other calls stay";
}

TEST(Cli, SeveralScreenshots) {
  const std::string a = scratch() + "/a.png", b = scratch() + "/b.png";
  Result r = emulator("--virtual-clock --run 2s --shot 1s:" + b + " --shot 0t:" + a + " " ORVADO_TAP_FILE);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_LT(r.out.find("screenshot saved to " + a), r.out.find("screenshot saved to " + b)) << r.out;
  EXPECT_TRUE(exists(a) && exists(b));
  Result bad = emulator("--shot nowhere " ORVADO_TAP_FILE);
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(contains(bad.out, "bad screenshot \"nowhere\"")) << bad.out;
}

TEST(Cli, StopEventAtTheEndOfTheRun) {
  Result r = emulator("--virtual-clock --run 2s " ORVADO_TAP_FILE);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "stopping the TAP (stop event)")) << r.out;
}

TEST(Cli, MissingFontEndsTheTapAfterTheMessageWindow) {
  const std::string templ = scratch() + "/nofont";
  ASSERT_EQ(system(("cp -r " + std::string(ORVADO_BINARY_DIR) + "/disk " + templ).c_str()), 0);
  removeAll(templ + "/ProgramFiles/Settings/Fonts/Calibri_12.ufnt");
  Result r = emulator("--virtual-clock --template " + templ + " --run 10s " ORVADO_TAP_FILE);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "the TAP's start routine returned 0")) << r.out;
  EXPECT_TRUE(contains(r.out, "ZINDRA - FontManager UC:")) << r.out;
}

// One command line sets up a run: --ini writes the channels and --put copies
// a file into the image, the trace goes to its own file (the console stays on
// standard output, key names with it), and --screenshot without a time waits
// for the end of the run.
TEST(Cli, FilesIntoTheImageTraceFileAndLastScreenshot) {
  const std::string disk = scratch() + "/put", note = scratch() + "/note.txt", traceFile = scratch() + "/trace.txt",
                    shotFile = scratch() + "/last.png";
  writeFile(note, "a note\n");
  Result r = emulator("--virtual-clock --disk " + disk + " --ini 'Test one=http://127.0.0.1:9/a.m3u8?x=1'" +
                      " --ini http://127.0.0.1:9/b.m3u8 --put /mnt/hd/ProgramFiles/note.txt=" + note +
                      " --trace-file " + traceFile + " --screenshot " + shotFile + " --keys 1s:exit " ORVADO_TAP_FILE);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(disk + "/ProgramFiles/Settings/orvado/orvado.ini"),
            "; channels from orvado-emu --ini\n[orvado]\ntvname1=Test one\ntvPL1=http://127.0.0.1:9/a.m3u8?x=1\n"
            "tvname2=Channel 2\ntvPL2=http://127.0.0.1:9/b.m3u8\n");
  EXPECT_EQ(readFile(disk + "/ProgramFiles/note.txt"), "a note\n");
  std::string trace = readFile(traceFile);
  EXPECT_TRUE(contains(trace, "TAP_Main() = 1")) << trace.substr(0, 500);
  EXPECT_TRUE(contains(trace, "event 0x100 (0x10017, 0x0) = 0x0")) << "Exit in the menu, consumed";
  EXPECT_TRUE(contains(trace, " key exit")) << "the key's name in the trace";
  EXPECT_FALSE(contains(r.out, "[trace ")) << r.out;
  EXPECT_TRUE(contains(r.out, "key 0x10017 consumed by the TAP (exit)")) << r.out;
  EXPECT_LT(r.out.find("key 0x10017"), r.out.find("screenshot saved to " + shotFile)) << r.out;

  Result missing = emulator("--put ProgramFiles/x=" + scratch() + "/absent " ORVADO_TAP_FILE);
  EXPECT_EQ(missing.status, 1) << missing.out;
  EXPECT_TRUE(contains(missing.out, scratch() + "/absent")) << missing.out;
  Result outside = emulator("--put ../etc/x=" + note + " " ORVADO_TAP_FILE);
  EXPECT_EQ(outside.status, 2) << outside.out;
  Result ten =
      emulator("--ini a --ini b --ini c --ini d --ini e --ini f --ini g --ini h --ini i --ini j " ORVADO_TAP_FILE);
  EXPECT_EQ(ten.status, 2) << ten.out;
  EXPECT_TRUE(contains(ten.out, "nine at most")) << ten.out;
}

// The sample TAP of docs/write-your-own-tap.md loads with its header
// sections, answers OK and ends itself on Exit.
TEST(Cli, RunsTheSampleTap) {
  Result r = emulator("--virtual-clock --keys 1s:ok,2s:exit " ORVADO_BINARY_DIR "/examples/hello/hello.tap");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "hello.tap: Hello (\"Says hello and counts OK\", id 0x0F0A7F01, by A TAP author"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "key 0x10011 consumed by the TAP (ok)")) << r.out;
  EXPECT_TRUE(contains(r.out, "the TAP has ended itself (TAP_Exit)")) << r.out;
}

// A TAP that crashes is reported as such, with exit status 1.
TEST(Cli, ACrashingTapIsReportedAndFailsTheRun) {
  Result r = emulator("--virtual-clock --keys 1s:red " ORVADO_CRASHING_TAP);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "the TAP crashed: Segmentation fault in its event handler (event 0x100, 0x10023)"))
      << r.out;
  EXPECT_FALSE(contains(r.out, "ended itself")) << r.out;
}

// A handler that loops for ever is reported by the watchdog, naming the TAP,
// the event and the TAP's stack; the end of --run ends it, with exit status 1.
TEST(Cli, AHungTapIsReportedAndTheRunEndsWithStatus1) {
  auto start = std::chrono::steady_clock::now();
  Result r = emulator("--keys 1s:green --run 4s --watchdog 1s " ORVADO_CRASHING_TAP);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_LT(seconds, 15) << r.out;
  EXPECT_TRUE(contains(r.out,
                       "the TAP hangs: Crashing (crashing_tap.tap) has not returned from its event handler (event "
                       "0x100, 0x10024, key green) for 1."))
      << r.out;
  // A sanitizer build may show the C library's frame first.
  EXPECT_TRUE(contains(r.out, " (anonymous namespace)::spinForEver()+")) << r.out;
  EXPECT_TRUE(contains(r.out, "orvado-emu: the TAP hung: Crashing")) << r.out;
}

// Ctrl-C ends a hung TAP too (the virtual clock, whose time stands still
// while the TAP hangs, as well).
TEST(Cli, CtrlCEndsAHungTap) {
  for (std::string clock : {"", "--virtual-clock "}) {
    auto start = std::chrono::steady_clock::now();
    std::string command = "(echo green; sleep 8) | " + kEmulator;
    command += "--stdin --watchdog 1s " + clock;
    command += ORVADO_CRASHING_TAP " 2>&1 & pid=$!; sleep 4; kill -INT $pid; wait $pid";
    Result r = shell(command);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1) << clock << r.out;
    EXPECT_LT(seconds, 12) << clock << r.out;
    EXPECT_TRUE(contains(r.out, "the TAP hangs: Crashing")) << r.out;
  }
}

// A handler that is only slow is reported, and its return too; the run goes
// on.
TEST(Cli, ASlowHandlerIsReportedAndGoesOn) {
  Result r = emulator("--keys 1s:yellow --run 5s --watchdog 1s " ORVADO_CRASHING_TAP);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "the TAP hangs: Crashing")) << r.out;
  EXPECT_TRUE(
      contains(r.out, "the TAP has returned from its event handler (event 0x100, 0x10025, key yellow) after 2."))
      << r.out;
}

// A TAP built for another processor is refused with its processor and the
// emulator that runs it.
TEST(Cli, ATapForAnotherProcessorIsRefusedWithWhereToRunIt) {
  std::string tap = readFile(ORVADO_CRASHING_TAP);
#ifdef __mips__
  // The MIPS emulator's other processor: a PC's.
  tap[18] = 3;  // EM_386
  const char* said = "it is built for 32-bit x86; this emulator runs TAPs built for MIPS (the receiver)";
#else
  tap[18] = 8;  // EM_MIPS
  const char* said = "it is built for MIPS (the receiver's processor); run it in the MIPS emulator under qemu";
#endif
  tap[19] = 0;
  writeFile(scratch() + "/other.tap", tap);
  Result r = emulator("--run 1s " + scratch() + "/other.tap");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, said)) << r.out;
}

// A TAP that needs a library that the receiver lacks runs, with a warning.
TEST(Cli, ATapNeedingTheCxxRuntimeIsWarnedAbout) {
  Result r = emulator("--run 1s " ORVADO_NEEDY_TAP);
  EXPECT_EQ(r.status, 0) << r.out;
  // A sanitizer build's TAP also names the sanitizers' libraries.
  EXPECT_TRUE(contains(r.out, "libstdc++.so.6, libgcc_s.so.1")) << r.out;
  EXPECT_TRUE(contains(r.out, "which a receiver does not have")) << r.out;
}

// HTTPS from a source with a certificate of its own: with --ca-file the TAP's
// wget trusts that authority besides the PC's bundle and the channel plays;
// without it the TAP says "TLS Error" (its log line reaches the console); a
// CA file that is no certificate is refused before the TAP runs.
TEST(Cli, CaFileLetsTheTapFetchFromAnHttpsSource) {
  const std::string dir = scratch() + "/ca";
  ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
  TestCa ca;
  ASSERT_TRUE(makeTestCa(dir, &ca));
  HlsServer server({"--mode", "live", "--segment-bytes", "18800", "--tls", ca.certPem, ca.keyPem});
  ASSERT_EQ(server.url().rfind("https://", 0), 0u) << server.line();
  struct Case {
    const char* what;
    std::string caOption;
    bool plays;
  };
  for (const Case& c : {Case{"trusted", " --ca-file " + ca.caPem, true}, Case{"not trusted", "", false}}) {
    SCOPED_TRACE(c.what);
    const std::string disk = dir + "/disk-" + (c.plays ? "trusted" : "untrusted");
    Result r = emulator("--disk " + disk + " --ini " + server.url() + "index.m3u8" + c.caOption +
                        " --keys 1s:1 --run 9s " ORVADO_TAP_FILE);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string stream = readFile(disk + "/MediaFiles/tmp/Stream.ts");
    EXPECT_EQ(!stream.empty(), c.plays) << r.out;
    EXPECT_EQ(contains(r.out, "TLS Error"), !c.plays) << r.out;
  }
  writeFile(dir + "/not-a-ca.pem", "hello\n");
  Result bad = emulator("--ca-file " + dir + "/not-a-ca.pem " ORVADO_TAP_FILE);
  EXPECT_NE(bad.status, 0) << bad.out;
  EXPECT_TRUE(contains(bad.out, "holds no PEM certificate")) << bad.out;
}

// A server that takes the connection and never answers: each step waits out
// its fetch's time limit. Exit pressed meanwhile takes effect as soon as the
// step under way ends, not after another one that was due.
TEST(Cli, ExitAgainstASilentServerWithinThreeAndAHalfSeconds) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 64), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/live.m3u8";
  const std::string trace = scratch() + "/silent.trace";
  Result r = emulator("--ini 'Silent=" + url + "' --keys 1s:1,8s:exit,9s:exit --run 16s --trace-file " + trace +
                      " " ORVADO_TAP_FILE);
  close(listener);
  ASSERT_EQ(r.status, 0) << r.out;
  // Ticks of 10 ms: digit 1 at 1 s, so Exit is pressed 700 ticks later.
  std::string text = readFile(trace);
  auto tickOf = [&](const std::string& what) -> long {
    size_t at = text.find(what);
    if (at == std::string::npos) return -1;
    size_t line = text.rfind("[trace", at);
    return std::stol(text.substr(line + 6, 10));
  };
  long digit = tickOf("(0x10001, 0x0) = 0x0");
  long off = tickOf("status: Stream off");
  ASSERT_GT(digit, 0) << r.out;
  ASSERT_GT(off, 0) << r.out;
  EXPECT_LE(off - (digit + 700), 350) << "Exit took effect " << static_cast<double>(off - digit - 700) / 100
                                      << " s after the press";
}
