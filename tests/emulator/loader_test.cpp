// The built TAP file as the firmware's loader sees it, and a whole run.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "support/testing.h"
#include "support/trace_capture.h"

using namespace orvado_test;

namespace {

// Contents of one section, read with readelf's hex dump.
std::string sectionBytes(const std::string& file, const std::string& section) {
  std::istringstream dump(commandOutput("readelf -x " + section + " " + file));
  std::string line, bytes;
  while (std::getline(dump, line)) {
    if (line.rfind("  0x", 0) != 0) continue;
    std::istringstream words(line.substr(13, 35));
    std::string word;
    while (words >> word)
      for (size_t i = 0; i + 1 < word.size(); i += 2)
        bytes += static_cast<char>(std::stoi(word.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

size_t sectionSize(const std::string& file, const std::string& section) {
  std::istringstream table(commandOutput("readelf -S -W " + file));
  std::string line;
  while (std::getline(table, line)) {
    auto at = line.find(" " + section + " ");
    if (at == std::string::npos) continue;
    std::istringstream fields(line.substr(at + section.size() + 2));
    std::string type, address, offset, size;
    fields >> type >> address >> offset >> size;
    return std::stoul(size, nullptr, 16);
  }
  return 0;
}

}  // namespace

TEST(TapFile, HeaderSectionsAsTheLoaderReadsThem) {
  const std::string tap = ORVADO_TAP_FILE;
  EXPECT_EQ(sectionSize(tap, "._tap_etcinfo"), 64u);
  EXPECT_EQ(sectionSize(tap, "._tap_description"), 128u);
  EXPECT_EQ(sectionSize(tap, "._tap_program_name"), 64u);
  EXPECT_EQ(sectionSize(tap, "._tap_author_name"), 64u);
  EXPECT_EQ(sectionSize(tap, "._tap_id"), 4u);
  EXPECT_EQ(sectionSize(tap, "._tap_header"), 32u);
  std::string header = sectionBytes(tap, "._tap_header");
  EXPECT_EQ(header, std::string("KRUXMIPS\x10\0\0\0", 12) + std::string(20, '\0'));
  std::string name = sectionBytes(tap, "._tap_program_name");
  EXPECT_EQ(name, "Orvado" + std::string(58, '\0'));
  std::string description = sectionBytes(tap, "._tap_description");
  EXPECT_EQ(description, "Orvado 02b" + std::string(118, '\0'));
  std::string date = sectionBytes(tap, "._tap_etcinfo");
  ASSERT_EQ(date.size(), 64u);
  // The build date, as __DATE__ writes it (the TAP may be built on another day).
  EXPECT_TRUE(std::regex_match(date.substr(0, 11), std::regex("[A-Z][a-z]{2} [ 0-3][0-9] [0-9]{4}"))) << date;
  EXPECT_EQ(date.substr(11), std::string(53, '\0'));

  emu::TapHeader h;
  std::string error;
  ASSERT_TRUE(emu::readTapHeader(tap, h, &error)) << error;
  EXPECT_EQ(h.programName, "Orvado");
  EXPECT_EQ(h.description, "Orvado 02b");
  EXPECT_EQ(h.headerVersion, 0x10u);
  EXPECT_NE(h.id, 0u);
}

TEST(TapFile, ExportsOnlyEntryPointsAndHeaders) {
  std::istringstream symbols(commandOutput("nm -D --defined-only " + std::string(ORVADO_TAP_FILE)));
  std::set<std::string> names;
  std::string address, kind, name;
  while (symbols >> address >> kind >> name) names.insert(name);
  std::set<std::string> expected = {"__TAP_Init_",         "TAP_Main",
                                    "TAP_EventHandler",    "__tap_etc_str__",
                                    "__tap_description__", "__tap_program_name__",
                                    "__tap_author_name__", "__tap_ud__",
                                    "__tap_Header__"};
  EXPECT_EQ(names, expected);

  // The run-time hooks are the TAP's own and stay inside it.
  std::string all = commandOutput("nm " + std::string(ORVADO_TAP_FILE));
  EXPECT_NE(all.find(" t abort\n"), std::string::npos) << all;
  EXPECT_NE(all.find(" t __builtin_new\n"), std::string::npos);
}

TEST(TapFile, LoaderRefusesWrongMagicAndNonTaps) {
  std::ifstream in(ORVADO_TAP_FILE, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto at = data.find("KRUXMIPS");
  ASSERT_NE(at, std::string::npos);
  data.replace(at, 8, "KRUXARMS");
  writeFile("/mnt/hd/bad.tap", data);
  std::string error;
  freshReceiver(virtualConfig());
  EXPECT_FALSE(emu::loadTap("/mnt/hd/bad.tap", &error));
  EXPECT_NE(error.find("header magic"), std::string::npos) << error;
  EXPECT_NE(error.find("KRUXARMS"), std::string::npos) << error;

  writeFile("/mnt/hd/text.tap", "hello");
  EXPECT_FALSE(emu::loadTap("/mnt/hd/text.tap", &error));
  EXPECT_NE(error.find("not a shared object"), std::string::npos) << error;
  EXPECT_FALSE(emu::loadTap("/mnt/hd/missing.tap", &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

TEST(TapRun, ScriptedKeysAndExit) {
  TraceCapture trace;
  freshReceiver(trace.config());
  emu::RunOptions run;
  run.tapPath = ORVADO_TAP_FILE;
  run.takeKeys = emu::scriptedKeys({{400, RKEY_Exit}, {200, RKEY_1}, {600, RKEY_Exit}});
  run.runTicks = 3000;
  std::string error;
  ASSERT_TRUE(emu::runTap(run, &error)) << error;
  EXPECT_TRUE(emu::tapEnded()) << "Exit in the menu ends the TAP";
  std::string log = trace.text();
  EXPECT_NE(log.find("__TAP_Init_() = 0"), std::string::npos);
  EXPECT_NE(log.find("TAP_Main() = 1"), std::string::npos);
  EXPECT_NE(log.find("event 0x100 (0x10001, 0x0) = 0x0"), std::string::npos) << "digit consumed";
  EXPECT_NE(log.find("event 0x100 (0x10017, 0x0) = 0x10017"), std::string::npos) << "Exit passed on while streaming";
  EXPECT_NE(log.find("TAP_Exit()"), std::string::npos);
  EXPECT_EQ(log.find("event 0x900"), std::string::npos) << "no stop event after the TAP has ended";
}

// A TAP that faults ends its call, not the emulator: it gets no more events,
// the console says why, and the next TAP loads and runs as before.
TEST(TapRun, ACrashEndsTheTapAndNotTheReceiver) {
  struct Case {
    uint32_t key;
    const char* fault;
  };
#if defined(__mips__)
  // MIPS divides with a trap for zero, which the kernel reports as SIGFPE but
  // qemu-user, where this build's tests run, as SIGTRAP.
  const char* division = "Trace/breakpoint trap";
#else
  const char* division = "Floating point exception";
#endif
  for (const Case& c : {Case{RKEY_Red, "Segmentation fault"}, Case{RKEY_Blue, division}}) {
    freshReceiver(virtualConfig());
    std::string error;
    ASSERT_TRUE(emu::loadTap(ORVADO_CRASHING_TAP, &error)) << error;
    ASSERT_EQ(emu::startTap(), 1);
    EXPECT_EQ(emu::sendEvent(EVT_KEY, RKEY_Ok), RKEY_Ok);
    EXPECT_TRUE(emu::tapCrash().empty());
    emu::sendEvent(EVT_KEY, c.key);
    EXPECT_EQ(emu::tapCrash(), std::string(c.fault) + " in its event handler (event 0x100, 0x" +
                                   (c.key == RKEY_Red ? "10023" : "10026") + ")");
    EXPECT_FALSE(emu::tapLoaded());
    EXPECT_TRUE(emu::tapEnded());
    bool said = false;
    for (const auto& line : emu::consoleLines())
      said = said || line.find("the TAP crashed: " + std::string(c.fault)) != std::string::npos;
    EXPECT_TRUE(said);
    emu::unloadTap();

    freshReceiver(virtualConfig());
    ASSERT_TRUE(emu::loadTap(ORVADO_TAP_FILE, &error)) << error;
    EXPECT_EQ(emu::startTap(), 1) << "the receiver runs the next TAP";
    EXPECT_TRUE(emu::tapCrash().empty());
    emu::unloadTap();
  }
}
