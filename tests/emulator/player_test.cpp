// The emulated player and the firmware's work folder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "emulator/core/emulator.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kDir = "/mnt/hd/MediaFiles/playertest";

std::string transportStream(size_t packets, size_t extra = 0) {
  std::string ts(packets * 188 + extra, '\x11');
  for (size_t i = 0; i * 188 < ts.size(); ++i) ts[i * 188] = 0x47;
  return ts;
}

struct Record {
  uint8_t bytes[16] = {};
  Record() { std::memcpy(bytes, &FW_FolderRecordMarker, 4); }
};

void receiver() {
  freshReceiver(virtualConfig());
  removeAll(kDir);
  writeFile(kDir + "/film.ts", transportStream(50));
}

bool consoleHas(const std::string& text) {
  for (const auto& line : emu::consoleLines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// Selects kDir and makes it the work folder.
void intoWorkFolder() {
  Record r;
  ASSERT_EQ(emu::firmware::selectFolder(r.bytes, "mnt/hd/MediaFiles/playertest"), 0);
  emu::firmware::setWorkFolder(r.bytes);
  ASSERT_EQ(emu::workFolder(), kDir);
}

}  // namespace

TEST(WorkFolder, SelectOnlyExistingFoldersWithTheMarker) {
  receiver();
  std::string start = emu::workFolder();
  Record r;
  EXPECT_EQ(emu::firmware::selectFolder(r.bytes, "mnt/hd/MediaFiles/playertest"), 0);
  uint8_t zero[12] = {};
  EXPECT_NE(std::memcmp(r.bytes + 4, zero, 12), 0) << "the record is filled after its marker";
  uint32_t marker;
  std::memcpy(&marker, r.bytes, 4);
  EXPECT_EQ(marker, FW_FolderRecordMarker);
  EXPECT_EQ(emu::workFolder(), start) << "selecting does not change the work folder";

  Record missing;
  EXPECT_NE(emu::firmware::selectFolder(missing.bytes, "mnt/hd/NoSuchFolder"), 0);
  EXPECT_EQ(std::memcmp(missing.bytes + 4, zero, 12), 0);
  EXPECT_NE(emu::firmware::selectFolder(missing.bytes, "mnt/hd/MediaFiles/playertest/film.ts"), 0);
  EXPECT_NE(emu::firmware::selectFolder(missing.bytes, nullptr), 0);
  EXPECT_NE(emu::firmware::selectFolder(nullptr, "mnt/hd"), 0);
  uint8_t unmarked[16] = {};
  EXPECT_NE(emu::firmware::selectFolder(unmarked, "mnt/hd"), 0);
  EXPECT_TRUE(consoleHas("0xBACAED31"));

  // Only a record that the selection filled sets the work folder.
  emu::firmware::setWorkFolder(missing.bytes);
  EXPECT_EQ(emu::workFolder(), start);
  EXPECT_TRUE(consoleHas("not filled"));
  emu::firmware::setWorkFolder(r.bytes);
  EXPECT_EQ(emu::workFolder(), kDir);
}

TEST(WorkFolder, RestorePutsBackWhatSaveRemembered) {
  receiver();
  std::string start = emu::workFolder();
  emu::firmware::saveWorkFolder();
  intoWorkFolder();
  emu::firmware::restoreWorkFolder();
  EXPECT_EQ(emu::workFolder(), start);
  intoWorkFolder();
  emu::firmware::restoreWorkFolder();
  EXPECT_EQ(emu::workFolder(), kDir) << "nothing saved: nothing to put back";
}

TEST(Player, PlaysTransportStreamsOfTheWorkFolder) {
  receiver();
  intoWorkFolder();
  TYPE_PlayInfo info;
  EXPECT_EQ(emu::firmware::startPlaybackMedia("film.ts", 0, true, false), 0);
  EXPECT_TRUE(emu::playing());
  EXPECT_EQ(emu::playingFile(), kDir + "/film.ts");
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_EQ(info.playMode, 1);
  EXPECT_EQ(info.totalBlock, 50u);
  EXPECT_EQ(info.currentBlock, 0u);
  // Nothing in it to decode: the player moves on at a nominal rate once it
  // has looked at the file (a fifth of a second).
  emu::advanceTicks(20);
  emu::advanceTicks(1);
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_GT(info.currentBlock, 0u);
  emu::advanceTicks(500);
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_EQ(info.currentBlock, 50u) << "never beyond the end";

  // The file grows while it plays, as a download appends to it.
  writeFile(kDir + "/film.ts", transportStream(80));
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_EQ(info.totalBlock, 80u);

  EXPECT_EQ(TAP_Hdd_StopTs(), 0);
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_EQ(info.playMode, 0);
  EXPECT_EQ(info.fileName[0], '\0');
  EXPECT_EQ(emu::playingFile(), "");
  EXPECT_NE(TAP_Hdd_StopTs(), 0) << "nothing plays";
  EXPECT_EQ(TAP_Hdd_GetPlayInfo(nullptr), 0);
}

TEST(Player, RefusesWhatIsNoTransportStreamAndSaysWhy) {
  receiver();
  writeFile(kDir + "/cut.ts", transportStream(3, 100));
  std::string broken = transportStream(4);
  broken[2 * 188] = 0x46;
  writeFile(kDir + "/broken.ts", broken);
  writeFile(kDir + "/short.ts", "\x47");
  writeFile(kDir + "/empty.ts", "");
  writeFile(kDir + "/late.ts", transportStream(2000) + std::string(188, 'x'));
  intoWorkFolder();

  EXPECT_EQ(emu::firmware::startPlayback("cut.ts", 0, true), 0) << "a packet cut short at the end is fine";
  TAP_Hdd_StopTs();
  struct Refused {
    const char* name;
    const char* why;
  } refused[] = {{"broken.ts", "byte 0x46 at offset 376"},
                 {"late.ts", "byte 0x78 at offset 376000"},
                 {"short.ts", "less than one 188-byte packet"},
                 {"empty.ts", "less than one 188-byte packet"},
                 {"missing.ts", "no such file"},
                 {"", "no file name"}};
  for (const Refused& r : refused) {
    EXPECT_NE(emu::firmware::startPlaybackMedia(r.name, 0, true, false), 0) << r.name;
    EXPECT_TRUE(consoleHas(r.why)) << r.name << ": " << r.why;
    EXPECT_FALSE(emu::playing()) << r.name;
  }
  EXPECT_NE(emu::firmware::startPlayback(nullptr, 0, true), 0);
}

TEST(Player, ADeletedFileEndsThePlayback) {
  receiver();
  intoWorkFolder();
  ASSERT_EQ(emu::firmware::startPlaybackMedia("film.ts", 0, true, false), 0);
  removeAll(kDir + "/film.ts");
  TYPE_PlayInfo info;
  TAP_Hdd_GetPlayInfo(&info);
  EXPECT_EQ(info.playMode, 0);
  EXPECT_FALSE(emu::playing());
}
