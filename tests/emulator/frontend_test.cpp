// What the core offers front ends beside the command line: keys queued from
// another thread, a look at the screen between idle events, the screen's
// change counter, the play state and the sandbox's downloads.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "emulator/core/emulator.h"
#include "emulator/core/sandbox.h"
#include "support/hls_server.h"
#include "support/testing.h"

using namespace orvado_test;
using Clock = std::chrono::steady_clock;

namespace {

bool consoleHas(const std::string& text) {
  for (const auto& line : emu::consoleLines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// Makes `dir` the work folder and starts `name` there.
void play(const std::string& dir, const std::string& name) {
  uint8_t record[16] = {};
  std::memcpy(record, &FW_FolderRecordMarker, 4);
  ASSERT_EQ(emu::firmware::selectFolder(record, dir.c_str() + 1), 0);
  emu::firmware::setWorkFolder(record);
  ASSERT_EQ(emu::firmware::startPlaybackMedia(name.c_str(), 0, false, false), 0);
}

}  // namespace

// A key from another thread reaches the TAP at once, not at the next idle
// event a second later; the front end looks at the screen many times in
// between; and the front end can stop the run.
TEST(FrontEndHooks, KeysFromAnotherThreadAndLooksBetweenIdleEvents) {
  freshReceiver(emu::Config());
  std::mutex lock;
  std::vector<uint32_t> queue;
  Clock::time_point queuedAt, takenAt;
  std::atomic<int> looks{0};
  emu::RunOptions run;
  run.tapPath = ORVADO_TAP_FILE;
  run.idleEveryTicks = 100;  // one idle event a second
  run.runTicks = 1000;       // a safety net: Exit ends the TAP long before
  run.lookEveryMs = 40;
  run.look = [&](uint32_t) { ++looks; };
  run.takeKeys = [&](uint32_t, std::vector<uint32_t>& keys) {
    std::lock_guard<std::mutex> guard(lock);
    if (!queue.empty() && takenAt == Clock::time_point()) takenAt = Clock::now();
    keys.insert(keys.end(), queue.begin(), queue.end());
    queue.clear();
    return true;
  };
  std::thread remote([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    {
      std::lock_guard<std::mutex> guard(lock);
      queue.push_back(RKEY_Exit);
      queuedAt = Clock::now();
    }
    emu::wakeRun();
  });
  auto start = Clock::now();
  std::string error;
  ASSERT_TRUE(emu::runTap(run, &error)) << error;
  remote.join();
  auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  EXPECT_TRUE(emu::exitRequested()) << "Exit in the menu ended the TAP";
  ASSERT_NE(takenAt, Clock::time_point());
  EXPECT_LT(ms(takenAt - queuedAt), 100) << "the key waited for an idle event";
  EXPECT_GE(looks.load(), ms(Clock::now() - start) / 40 / 2) << "looks only at idle events";

  freshReceiver(emu::Config());
  run.takeKeys = [](uint32_t, std::vector<uint32_t>&) { return false; };
  start = Clock::now();
  ASSERT_TRUE(emu::runTap(run, &error)) << error;
  EXPECT_LT(ms(Clock::now() - start), 5000) << "the run did not stop when asked";
  EXPECT_TRUE(consoleHas("stopping the TAP (stop event)"));
}

// The counter moves with every drawing call and with the player's picture,
// and stands still while nothing changes.
TEST(FrontEndHooks, ScreenChangesFollowDrawingAndPlayback) {
  freshReceiver(virtualConfig());
  uint64_t c = emu::screenChanges();
  EXPECT_EQ(emu::screenChanges(), c);
  int rgn = TAP_Osd_Create(0, 0, 720, 576, 0, 0);
  EXPECT_NE(emu::screenChanges(), c);
  c = emu::screenChanges();
  TAP_Osd_FillBox(static_cast<uint16_t>(rgn), 10, 10, 50, 50, 0xFFFF0000);
  EXPECT_NE(emu::screenChanges(), c);
  c = emu::screenChanges();
  emu::advanceTicks(100);
  EXPECT_EQ(emu::screenChanges(), c) << "time alone changes nothing while nothing plays";

  const std::string dir = "/mnt/hd/MediaFiles/fronttest";
  removeAll(dir);
  std::string ts(188 * 2000, '\x11');
  for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
  writeFile(dir + "/film.ts", ts);
  play(dir, "film.ts");
  EXPECT_NE(emu::screenChanges(), c) << "the video plane appeared";
  c = emu::screenChanges();
  TAP_Hdd_StopTs();
  EXPECT_NE(emu::screenChanges(), c) << "the video plane went black";
  c = emu::screenChanges();
  emu::advanceTicks(5);
  EXPECT_EQ(emu::screenChanges(), c) << "nothing plays: the black plane stays";
}

// A running wget shows with the file it writes and that file's size.
TEST(FrontEndHooks, DownloadsInTheSandbox) {
  HlsServer server({"--segment-bytes", "200000", "--slow", "1:4"});
  ASSERT_FALSE(server.url().empty()) << server.line();
  removeAll("/mnt/hd/dl");
  commandOutput("mkdir -p /mnt/hd/dl && cd /mnt/hd/dl && (wget -q -O part.ts " + server.url() +
                "v0_1.ts >/dev/null 2>&1 &)");
  std::vector<emu::SandboxProcess> found;
  for (int i = 0; i < 100 && found.empty(); ++i) {
    found = emu::sandboxProcesses("wget");
    if (found.empty() || found[0].files.empty() || found[0].files[0].second <= 0) {
      found.clear();
      usleep(50000);
    }
  }
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "wget");
  ASSERT_EQ(found[0].files.size(), 1u);
  EXPECT_EQ(found[0].files[0].first, "part.ts");
  EXPECT_GT(found[0].files[0].second, 0) << "the size of the file it writes, found in its working folder";
  EXPECT_LT(found[0].files[0].second, 200000);
  kill(found[0].pid, SIGTERM);
  EXPECT_TRUE(emu::sandboxProcesses("no-such-program").empty());
}
