// The application shell: state rules, pacing, the key table, KillTask.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "app/orvado.h"
#include "emulator/core/sandbox.h"
#include "lib/firmware/fwaccess.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

constexpr uint32_t kOtherKey = 0x10020;

// A started TAP on a fresh receiver with a virtual clock.
void startedShell() {
  freshReceiver(virtualConfig());
  ASSERT_EQ(TAP_Main(), 1);
}

uint32_t key(uint32_t code) { return TAP_EventHandler(EVT_KEY, code, 0); }
uint32_t idle() { return TAP_EventHandler(EVT_IDLE, 0, 0); }

std::string pidof(const char* name) { return commandOutput(std::string("pidof ") + name); }

bool waitUntilGone(const char* name) {
  for (int i = 0; i < 200; ++i) {
    if (pidof(name).empty()) return true;
    usleep(10000);
  }
  return false;
}

// Starts a real playback of a small transport stream through the firmware.
void startPlayback() {
  std::string ts(188 * 40, '\0');
  for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
  writeFile("/mnt/hd/MediaFiles/tmp/play.ts", ts);
  uint32_t folder[4] = {FW_FolderRecordMarker, 0, 0, 0};
  ApplHdd_SaveWorkFolder();
  ASSERT_EQ(ApplHdd_SelectFolder(folder, "mnt/hd/MediaFiles/tmp"), 0);
  ApplHdd_SetWorkFolder(folder);
  ASSERT_EQ(Appl_StartPlaybackMedia("play.ts", 0, true, false), 0);
  ApplHdd_RestoreWorkFolder();
  ASSERT_TRUE(emu::playing());
}

}  // namespace

TEST(ShellStates, MainStateNotZeroChangesNothing) {
  inFreshProcess([] {
    startedShell();
    _stream_load_flag = 1;
    _Streamtick = 0;
    uint32_t tick = _tick;
    int syncs = emu::syncCount();
    emu::advanceTicks(500);
    emu::setState(3, 0);
    EXPECT_EQ(key(RKEY_Exit), RKEY_Exit);
    EXPECT_EQ(idle(), 0u);
    EXPECT_EQ(_Streamtick, 0u) << "no pipeline step";
    EXPECT_EQ(_tick, tick) << "tick not refreshed";
    EXPECT_EQ(_stream_load_flag, 1u) << "key not handled";
    EXPECT_EQ(emu::syncCount(), syncs) << "nothing drawn";
  });
}

TEST(ShellStates, OtherSubStateLetsOneDueStepRunThenPauses) {
  inFreshProcess([] {
    startedShell();
    _stream_load_flag = 1;
    _Streamtick = 0;
    emu::setState(0, 0);
    idle();  // _tick refreshed, step due from now on
    uint32_t tick = _tick;
    emu::advanceTicks(1000);
    emu::setState(0, 7);
    _Streamtick = tick - 1;  // due
    EXPECT_EQ(key(RKEY_Exit), RKEY_Exit);
    EXPECT_EQ(_Streamtick, tick + StreamStepTicks) << "the due step runs once";
    EXPECT_EQ(_tick, tick) << "tick not refreshed in another sub state";
    EXPECT_EQ(_stream_load_flag, 1u) << "keys are not handled in another sub state";
    emu::advanceTicks(5000);
    idle();
    idle();
    EXPECT_EQ(_Streamtick, tick + StreamStepTicks) << "then steps pause";
    emu::setState(0, 31);
    idle();  // refreshes _tick
    EXPECT_GT(_tick, tick);
    idle();
    EXPECT_EQ(_Streamtick, _tick + StreamStepTicks) << "steps go on once the sub state is back";
  });
}

TEST(ShellStates, ExitNormalOnlyInMenuModeWithSubState31) {
  inFreshProcess([] {
    startedShell();
    emu::setState(0, 0);
    idle();
    EXPECT_TRUE(emu::normalMode());
    emu::setState(0, 31);
    idle();
    EXPECT_FALSE(emu::normalMode()) << "menu mode, sub state 31";
    TAP_EnterNormal();
    _stream_load_flag = 1;
    idle();
    EXPECT_TRUE(emu::normalMode()) << "not in streaming mode";
    _stream_load_flag = 0;
    emu::setState(0, 0);
    EXPECT_EQ(key(RKEY_Exit), 0u);
    emu::setState(0, 31);
    idle();
    EXPECT_TRUE(emu::normalMode()) << "not once the user has ended the TAP";
  });
}

TEST(ShellPacing, AtMostOneStepPer300Ticks) {
  inFreshProcess([] {
    startedShell();
    ASSERT_EQ(key(RKEY_1), 0u);
    int steps = 0;
    uint32_t last = _Streamtick;
    uint32_t lastStepAt = 0;
    for (int i = 0; i < 200; ++i) {  // 20 s of events every 100 ms
      emu::advanceTicks(10);
      idle();
      if (_Streamtick != last) {
        uint32_t now = emu::ticks();
        if (steps > 0) {
          EXPECT_GE(now - lastStepAt, StreamStepTicks);
        }
        lastStepAt = now;
        last = _Streamtick;
        ++steps;
      }
    }
    EXPECT_GE(steps, 6);
    EXPECT_LE(steps, 7);
  });
}

TEST(ShellKeys, MenuMode) {
  inFreshProcess([] {
    startedShell();
    EXPECT_EQ(key(kOtherKey), kOtherKey);
    EXPECT_EQ(key(RKEY_Stop), RKEY_Stop) << "0x1003C does nothing in menu mode";
    EXPECT_EQ(_stream_load_flag, 0u);
    EXPECT_EQ(key(0x10051), 0x10051u) << "codes above 0x10050 pass";
    EXPECT_EQ(TAP_EventHandler(0x0200, RKEY_1, 0), RKEY_1) << "not a key event";
    EXPECT_EQ(_stream_load_flag, 0u);
    for (uint32_t digit = 1; digit <= 9; ++digit) {
      _stream_load_flag = 0;
      _Stream_Block = 77;
      EXPECT_EQ(key(RKEY_1 + digit - 1), 0u) << "digit keys are consumed";
      EXPECT_EQ(_stream_load_flag, 1u);
      EXPECT_EQ(_StreamNr, digit);
      EXPECT_EQ(_Stream_Block, 0u);
      EXPECT_TRUE(emu::normalMode());
    }
  });
}

TEST(ShellKeys, DigitWhilePlayingIsPassedOn) {
  inFreshProcess([] {
    startedShell();
    startPlayback();
    idle();  // the play record is refreshed at each event
    ASSERT_NE(_PlayFile.playMode, 0);
    EXPECT_EQ(key(RKEY_5), RKEY_5);
    EXPECT_EQ(_stream_load_flag, 0u);
  });
}

TEST(ShellKeys, StreamingExitStopsEverythingAndPassesTheKey) {
  for (uint32_t stopKey : {RKEY_Exit, RKEY_Stop}) {
    inFreshProcess([stopKey] {
      startedShell();
      ASSERT_EQ(key(RKEY_2), 0u);
      EXPECT_EQ(key(RKEY_3), RKEY_3) << "other keys pass in streaming mode";
      EXPECT_EQ(_StreamNr, 2);
      startPlayback();
      writeFile("/mnt/hd/MediaFiles/tmp/chunk.ts", "x");
      ASSERT_EQ(system("sleep 300 & sleep 300 &"), 0);
      // A process merely named like the downloader: KillTask goes by name.
      ASSERT_EQ(system("mkdir -p /mnt/hd/named && cp /bin/sleep /mnt/hd/named/wget && /mnt/hd/named/wget 300 &"), 0);
      for (int i = 0; i < 200 && (pidof("wget").empty() || pidof("sleep").empty()); ++i) usleep(10000);
      ASSERT_FALSE(pidof("wget").empty());
      TAP_ExitNormal();
      EXPECT_EQ(key(stopKey), stopKey);
      EXPECT_EQ(_stream_load_flag, 0u);
      EXPECT_FALSE(emu::playing());
      EXPECT_TRUE(emu::normalMode());
      EXPECT_FALSE(exists("/mnt/hd/MediaFiles/tmp/chunk.ts"));
      EXPECT_TRUE(waitUntilGone("wget"));
      EXPECT_FALSE(pidof("sleep").empty()) << "only processes of that name end";
      EXPECT_FALSE(emu::exitRequested());
      KillTask("sleep");
    });
  }
}

TEST(ShellKeys, MenuExitEndsTheTap) {
  inFreshProcess([] {
    startedShell();
    writeFile("/mnt/hd/MediaFiles/tmp/old.ts", "x");
    TAP_Osd_FillBox(_rgn, 0, 0, 10, 10, 0xFFFFFFFF);
    EXPECT_EQ(key(RKEY_Exit), 0u);
    EXPECT_TRUE(emu::exitRequested());
    EXPECT_FALSE(exists("/mnt/hd/MediaFiles/tmp/old.ts"));
    EXPECT_EQ(emu::regionImage(_rgn).pixels[0], 0u) << "screen cleared";
  });
}

TEST(ShellKeys, StopEventEndsTheTapInAnyMode) {
  for (uint32_t mode : {0u, 1u}) {
    inFreshProcess([mode] {
      startedShell();
      _stream_load_flag = mode;
      emu::setState(2, 0);  // even outside the main state
      EXPECT_EQ(TAP_EventHandler(0x10900, 0x1234, 0), 0x1234u) << "only the low 16 bits count";
      EXPECT_TRUE(emu::exitRequested());
      EXPECT_TRUE(emu::normalMode());
    });
  }
}

TEST(KillTask, EndsProcessesByNameInsideTheSandboxOnly) {
  // A process of the same name outside the inner sandbox.
  pid_t outside = fork();
  ASSERT_GE(outside, 0);
  if (outside == 0) {
    execlp("sleep", "sleep", "300", nullptr);
    _exit(127);
  }
  std::string error;
  int status = emu::runSandboxed(
      {},
      [] {
        if (system("sleep 300 & sleep 301 &") != 0) return 10;
        for (int i = 0; i < 200 && pidof("sleep").empty(); ++i) usleep(10000);
        if (pidof("sleep").empty()) return 11;
        KillTask("sleep");
        if (!waitUntilGone("sleep")) return 12;
        KillTask("no-such-process");  // nothing to do, nothing breaks
        return 0;
      },
      &error);
  EXPECT_EQ(status, 0) << error;
  EXPECT_EQ(kill(outside, 0), 0) << "the process outside the sandbox must live on";
  kill(outside, SIGKILL);
  waitpid(outside, nullptr, 0);
}
