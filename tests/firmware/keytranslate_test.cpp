// The firmware description file and the remote-key translation hook.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "emulator/core/sandbox.h"
#include "lib/firmware/fwaccess.h"
#include "lib/firmware/keytranslate.h"
#include "support/testing.h"

using namespace orvado_test;

namespace {

const std::string kSettingsDat = "/mnt/hd/ProgramFiles/Settings/FirmwareTMS.dat";
const std::string kProgramDat = "/mnt/hd/ProgramFiles/FirmwareTMS.dat";

struct Model {
  uint16_t id;
  int32_t remoteType;
};

std::string image(const std::vector<Model>& models, uint32_t magic = 0x12345678, uint32_t word8 = 0,
                  int64_t count = -1) {
  std::string out(20 + models.size() * 348, '\0');
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&out[at], &v, 4); };
  put32(0, magic);
  put32(8, word8);
  put32(12, count < 0 ? static_cast<uint32_t>(models.size()) : static_cast<uint32_t>(count));
  for (size_t i = 0; i < models.size(); ++i) {
    std::memcpy(&out[20 + i * 348], &models[i].id, 2);
    put32(20 + i * 348 + 320, static_cast<uint32_t>(models[i].remoteType));
  }
  return out;
}

// The TAP's own handler: records what reaches it and answers `answer`.
struct Seen {
  uint32_t event, param1, param2;
};
std::vector<Seen> g_seen;
uint32_t g_answer = 1;
uint32_t handler(uint32_t event, uint32_t param1, uint32_t param2) {
  g_seen.push_back({event, param1, param2});
  return g_answer;
}

// A receiver of model `systemId` with `handler` in the TAP's slot.
void receiver(uint32_t systemId, std::set<std::string> leaveOut = {}) {
  emu::Config c = virtualConfig();
  c.systemId = systemId;
  c.leaveOut = std::move(leaveOut);
  freshReceiver(c);
  removeAll(kSettingsDat);
  removeAll(kProgramDat);
  emu::tapTable()[c.tapSlot].eventHandler = handler;
  g_seen.clear();
  g_answer = 1;
}

uint32_t press(uint32_t key) { return emu::tapTable()[emu::config().tapSlot].eventHandler(EVT_KEY, key, 7); }

uint32_t delivered(uint32_t key) {
  g_seen.clear();
  press(key);
  return g_seen.empty() ? 0 : g_seen.back().param1;
}

}  // namespace

TEST(KeyTranslate, RemoteType2Table) {
  inFreshProcess([] {
    receiver(22120);
    writeFile(kSettingsDat, image({{22010, 1}, {22120, 2}}));
    ASSERT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(RemoteType, 2);
    const uint32_t table[][2] = {{0x10024, 0x10048}, {0x10025, 0x10045}, {0x10026, 0x10046}, {0x1003E, 0x10049},
                                 {0x1003F, 0x10047}, {0x10045, 0x10044}, {0x10047, 0x1003F}, {0x10048, 0x10024},
                                 {0x10049, 0x10025}, {0x1004A, 0x10026}, {0x10023, 0x10023}, {0x10001, 0x10001},
                                 {0x10017, 0x10017}, {0x1003C, 0x1003C}};
    for (auto& row : table) EXPECT_EQ(delivered(row[0]), row[1]) << std::hex << row[0];

    // Flag bits stay; the firmware gets the key that was really pressed.
    g_seen.clear();
    EXPECT_EQ(press(0x3003F), 0x3003Fu);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].event, EVT_KEY);
    EXPECT_EQ(g_seen[0].param1, 0x20000u | 0x10047u);
    EXPECT_EQ(g_seen[0].param2, 7u);
    g_answer = 0;
    EXPECT_EQ(press(0x1003F), 0u) << "a consumed key stays consumed";
  });
}

TEST(KeyTranslate, RemoteType3AndOtherEvents) {
  inFreshProcess([] {
    receiver(22570);
    writeFile(kProgramDat, image({{22570, 3}}));
    ASSERT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(RemoteType, 3);
    EXPECT_EQ(delivered(0x10023), 0x1003Fu);
    EXPECT_EQ(delivered(0x10024), 0x10024u) << "the type 2 table does not apply";

    g_seen.clear();
    g_answer = 0x55;
    EXPECT_EQ(emu::tapTable()[emu::config().tapSlot].eventHandler(0x12345, 0x10023, 9), 0x55u);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].event, 0x2345u);
    EXPECT_EQ(g_seen[0].param1, 0x10023u) << "not a key event: nothing translated";
    EXPECT_EQ(g_seen[0].param2, 9u);
  });
}

TEST(KeyTranslate, EnableTwiceAndDisable) {
  inFreshProcess([] {
    receiver(22120);
    writeFile(kSettingsDat, image({{22120, 2}}));
    TapTableEntry& slot = emu::tapTable()[emu::config().tapSlot];
    ASSERT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(slot.eventHandler, KeyTranslateHook);
    EXPECT_EQ(Original_TAP_EventHandler, handler);
    EXPECT_EQ(KeyTranslate(true, handler), 0) << "the slot holds the hook now";
    EXPECT_EQ(slot.eventHandler, KeyTranslateHook);
    EXPECT_EQ(Original_TAP_EventHandler, handler);

    EXPECT_EQ(KeyTranslate(false, handler), 1);
    EXPECT_EQ(slot.eventHandler, handler);
    EXPECT_EQ(Original_TAP_EventHandler, nullptr);
    EXPECT_EQ(KeyTranslate(false, handler), 0);
    EXPECT_EQ(delivered(0x1003F), 0x1003Fu);
  });
}

TEST(KeyTranslate, WithoutDescriptionFileInstallsWithKeysUnchanged) {
  inFreshProcess([] {
    receiver(22120);
    EXPECT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(RemoteType, 1);
    EXPECT_EQ(FWDATBin, nullptr);
    EXPECT_EQ(delivered(0x1003F), 0x1003Fu);
  });
}

TEST(KeyTranslate, SettingsFolderCopyWinsOverProgramFiles) {
  inFreshProcess([] {
    receiver(22120);
    writeFile(kSettingsDat, image({{22120, 2}}));
    writeFile(kProgramDat, image({{22120, 3}}));
    EXPECT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(RemoteType, 2);
  });
}

TEST(KeyTranslate, UnlistedModelKeepsRemoteTypeOne) {
  inFreshProcess([] {
    receiver(30000);
    writeFile(kSettingsDat, image({{22120, 2}}));
    EXPECT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(RemoteType, 1);
    EXPECT_EQ(delivered(0x1003F), 0x1003Fu);
  });
}

TEST(KeyTranslate, ShippedDescriptionFile) {
  for (auto [id, type] : {std::pair{22010u, 1}, {22120u, 2}, {22570u, 3}}) {
    inFreshProcess([id = id, type = type] {
      emu::Config c = virtualConfig();
      c.systemId = id;
      freshReceiver(c);
      writeFile(kSettingsDat, readFile(emu::defaultDiskTemplate() + "/ProgramFiles/Settings/FirmwareTMS.dat"));
      emu::tapTable()[c.tapSlot].eventHandler = handler;
      EXPECT_EQ(KeyTranslate(true, handler), 1);
      EXPECT_EQ(RemoteType, type) << "system id " << id;
      EXPECT_EQ(GetSysID(), id);
    });
  }
}

// An image that LoadFirmwareDat must reject, made by `make`.
struct BadImage {
  const char* name;
  std::string (*make)();
};

std::string goodImage() { return image({{22120, 2}, {22010, 1}}); }

const BadImage kBadImages[] = {
    {"NonzeroWordAtOffset8",
     [] {
       return image({{22120, 2}}, 0x12345678, 1);
     }},
    {"WrongMagic",
     [] {
       return image({{22120, 2}}, 0x87654321);
     }},
    {"ShorterThanItsHeader", [] { return goodImage().substr(0, 19); }},
    {"Empty", [] { return std::string(); }},
    {"MoreRecordsThanTheFileHolds",
     [] {
       return image({{22120, 2}}, 0x12345678, 0, 2);
     }},
    {"RecordCutShort", [] { return goodImage().substr(0, goodImage().size() - 1); }},
    {"CountThatWraps",
     [] {
       return image({{22120, 2}}, 0x12345678, 0, 0x2F2F2F2F);
     }},
};

void PrintTo(const BadImage& bad, std::ostream* out) { *out << bad.name; }

class RejectedImage : public testing::TestWithParam<BadImage> {};

TEST_P(RejectedImage, IsFreedAndTheFileReadAgain) {
  const BadImage bad = GetParam();
  inFreshProcess([bad] {
    receiver(22120);
    writeFile(kSettingsDat, bad.make());
    uint8_t* header = reinterpret_cast<uint8_t*>(1);
    EXPECT_FALSE(LoadFirmwareDat(&header, nullptr, nullptr));
    EXPECT_EQ(header, reinterpret_cast<uint8_t*>(1)) << "out-pointers stay untouched";
    EXPECT_EQ(FWDATBin, nullptr);
    EXPECT_EQ(emu::liveBlocks(), 0u) << "the rejected image is freed";
    EXPECT_EQ(KeyTranslate(true, handler), 1);
    EXPECT_EQ(RemoteType, 1);
    ASSERT_EQ(KeyTranslate(false, handler), 1);

    writeFile(kSettingsDat, goodImage());
    EXPECT_TRUE(LoadFirmwareDat(nullptr, nullptr, nullptr)) << "the next call reads the file again";
  });
}

INSTANTIATE_TEST_SUITE_P(LoadFirmwareDat, RejectedImage, testing::ValuesIn(kBadImages),
                         [](const testing::TestParamInfo<BadImage>& p) { return std::string(p.param.name); });

TEST(LoadFirmwareDat, ValidImageIsKeptWithItsTail) {
  inFreshProcess([] {
    receiver(22120);
    const std::string good = goodImage();
    writeFile(kSettingsDat, good + "tail");
    uint8_t *header = nullptr, *records = nullptr, *tail = nullptr;
    ASSERT_TRUE(LoadFirmwareDat(&header, &records, &tail));
    EXPECT_EQ(records, header + 20);
    EXPECT_EQ(tail, header + 20 + 2 * 348);
    EXPECT_EQ(std::memcmp(tail, "tail", 4), 0);
    EXPECT_TRUE(LoadFirmwareDat(nullptr, nullptr, nullptr));
    // Kept once valid: a later change of the file is not read.
    removeAll(kSettingsDat);
    uint8_t* again = nullptr;
    EXPECT_TRUE(LoadFirmwareDat(&again, nullptr, nullptr));
    EXPECT_EQ(again, header);
  });
}

TEST(KeyTranslate, WithoutTapTableNothingChanges) {
  inFreshProcess([] {
    receiver(22120, {FW_tapTask});
    writeFile(kSettingsDat, image({{22120, 2}}));
    EXPECT_EQ(KeyTranslate(true, handler), 0);
    EXPECT_EQ(RemoteType, 2) << "the remote type is read all the same";
  });
}

TEST(KeyTranslate, WithoutCurrentTaskTheSlotIsUnknown) {
  inFreshProcess([] {
    receiver(22120, {FW_curTapTask});
    EXPECT_EQ(KeyTranslate(true, handler), -3);
    EXPECT_EQ(TAP_TableIndex, -1);
  });
}

TEST(KeyTranslate, SlotOutsideTheTableIsUnknown) {
  inFreshProcess([] {
    receiver(22120);
    emu::curTapTask() = 99;
    EXPECT_EQ(KeyTranslate(true, handler), -3) << "a slot outside the table";
    EXPECT_EQ(TAP_TableIndex, -1);
  });
}

TEST(KeyTranslateHook, WithoutAHandlerEventsPassThrough) {
  inFreshProcess([] {
    receiver(22120);
    EXPECT_EQ(KeyTranslateHook(EVT_KEY, 0x1003F, 0), 0x1003Fu);
  });
}
