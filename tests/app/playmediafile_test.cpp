// Playback of a downloaded file through the firmware's work folder and player.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/PlayMediaFile.h"
#include "lib/files/files.h"
#include "support/testing.h"
#include "support/trace_capture.h"

using namespace orvado_test;

namespace {

const std::string kTmp = "/mnt/hd/MediaFiles/tmp";

std::string transportStream(size_t packets) {
  std::string ts(packets * 188, '\xFF');
  for (size_t i = 0; i < packets; ++i) ts[i * 188] = 0x47;
  return ts;
}

// The firmware's player and work-folder calls as the trace shows them: one
// line per call, its name and its text arguments.
struct Calls : orvado_test::TraceCapture {
  std::string firmware() {
    std::string all = text(), out;
    for (size_t at = all.find("] "); at != std::string::npos; at = all.find("] ", at)) {
      at += 2;
      std::string line = all.substr(at, all.find('\n', at) - at);
      if (line.rfind("Appl", 0) != 0) continue;
      out += line.substr(0, line.find('('));
      bool quoted = false;
      for (size_t i = line.find('(') + 1; i < line.size() && (quoted || line[i] != ')'); ++i) {
        if (line[i] == '"') {
          out += quoted ? "\"" : " \"";
          quoted = !quoted;
        } else if (quoted) {
          out += line[i];
        }
      }
      out += "\n";
    }
    return out;
  }
};

// A receiver whose TAP sits in /MediaFiles/tmp beside a finished Stream.ts.
void receiver(Calls& calls, std::set<std::string> leaveOut = {}) {
  emu::Config c = virtualConfig();
  c.trace = true;
  c.traceOut = calls.stream();
  c.leaveOut = std::move(leaveOut);
  freshReceiver(c);
  removeAll("/mnt/hd/MediaFiles");
  writeFile(kTmp + "/Stream.ts", transportStream(100));
  emu::setCurrentDir(kTmp);
  ASSERT_EQ(chdir("/"), 0);
}

const char* kMediaRun =
    "ApplHdd_SaveWorkFolder\n"
    "ApplHdd_SelectFolder \"mnt/hd/MediaFiles/tmp\"\n"
    "ApplHdd_SetWorkFolder\n"
    "Appl_StartPlaybackMedia \"Stream.ts\"\n"
    "ApplHdd_RestoreWorkFolder\n";

}  // namespace

TEST(PlayMediaFile, WithoutSideFileStartsAsMedia) {
  inFreshProcess([] {
    Calls calls;
    receiver(calls);
    std::string before = emu::workFolder();
    EXPECT_EQ(PlayMediaFile("Stream.ts"), 1);
    EXPECT_EQ(calls.firmware(), kMediaRun);
    EXPECT_TRUE(emu::playing());
    EXPECT_EQ(emu::playingFile(), kTmp + "/Stream.ts");
    EXPECT_EQ(emu::workFolder(), before) << "the work folder is put back";
    EXPECT_EQ(emu::currentDir(), kTmp);
  });
}

TEST(PlayMediaFile, WithInfSideFileStartsAsRecording) {
  inFreshProcess([] {
    Calls calls;
    receiver(calls);
    writeFile(kTmp + "/Stream.ts.inf", "");
    EXPECT_EQ(PlayMediaFile("/MediaFiles/tmp/Stream.ts"), 1);
    EXPECT_EQ(calls.firmware(),
              "ApplHdd_SaveWorkFolder\n"
              "ApplHdd_SelectFolder \"mnt/hd/MediaFiles/tmp\"\n"
              "ApplHdd_SetWorkFolder\n"
              "Appl_StartPlayback \"Stream.ts\"\n"
              "ApplHdd_RestoreWorkFolder\n");
    EXPECT_TRUE(emu::playing());
  });
}

TEST(PlayMediaFile, RefusalsRestoreTheWorkFolder) {
  inFreshProcess([] {
    Calls calls;
    receiver(calls);
    std::string before = emu::workFolder();

    // A folder that does not exist: the selection fails, and nothing started.
    EXPECT_EQ(PlayMediaFile("/NoSuchFolder/film.ts"), 0);
    EXPECT_FALSE(emu::playing());
    EXPECT_EQ(calls.firmware(),
              "ApplHdd_SaveWorkFolder\n"
              "ApplHdd_SelectFolder \"mnt/hd/NoSuchFolder\"\n"
              "ApplHdd_RestoreWorkFolder\n");
    EXPECT_EQ(emu::workFolder(), before);

    // A file that is not a transport stream: refused by the player.
    writeFile(kTmp + "/page.html", std::string(400, '<'));
    EXPECT_EQ(PlayMediaFile("page.html"), 0);
    EXPECT_FALSE(emu::playing());
    EXPECT_EQ(emu::workFolder(), before);

    // A missing file, and a folder instead of a file.
    EXPECT_EQ(PlayMediaFile("missing.ts"), 0);
    EXPECT_EQ(PlayMediaFile("/MediaFiles/tmp/"), 0);
    EXPECT_EQ(PlayMediaFile(nullptr), 0);
    EXPECT_FALSE(emu::playing());
    EXPECT_EQ(emu::workFolder(), before);
  });
}

TEST(PlayMediaFile, WithoutStartPlaybackMediaNothingStarts) {
  inFreshProcess([] {
    Calls calls;
    receiver(calls, {FW_Appl_StartPlaybackMedia});
    EXPECT_EQ(PlayMediaFile("Stream.ts"), 0) << "the wrapper's 1 means not started";
    EXPECT_FALSE(emu::playing());
  });
}

TEST(PlayMediaFile, WithoutStartPlaybackARecordingDoesNotStart) {
  inFreshProcess([] {
    Calls calls;
    receiver(calls, {FW_Appl_StartPlayback});
    writeFile(kTmp + "/Stream.ts.inf", "");
    EXPECT_EQ(PlayMediaFile("Stream.ts"), 0) << "the wrapper's -1 means not started";
  });
}

TEST(PlayMediaFile, WithoutSelectFolderTheFileIsNotFound) {
  inFreshProcess([] {
    // Without the selection the record stays unfilled; the player then looks
    // in the old work folder and does not find the file.
    Calls calls;
    receiver(calls, {FW_ApplHdd_SelectFolder});
    EXPECT_EQ(PlayMediaFile("Stream.ts"), 0);
    EXPECT_FALSE(emu::playing());
  });
}

TEST(PlayMediaFile, WithoutSaveAndRestoreItStillPlays) {
  inFreshProcess([] {
    Calls calls;
    receiver(calls, {FW_ApplHdd_SaveWorkFolder, FW_ApplHdd_RestoreWorkFolder});
    EXPECT_EQ(PlayMediaFile("Stream.ts"), 1);
    EXPECT_TRUE(emu::playing());
    EXPECT_EQ(emu::workFolder(), kTmp);
  });
}
