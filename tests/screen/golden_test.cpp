// Golden screenshots: every folder of tests/screen/golden is one test case,
// named after the folder, drawn on a fresh receiver and compared with its
// reference.png (see golden/README.md; ORVADO_UPDATE_GOLDEN=1 re-creates the
// references).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/orvado.h"
#include "lib/fonts/fonts.h"
#include "lib/screen/screen.h"
#include "screen/screen_support.h"

namespace fs = std::filesystem;

// The TAP's program name titles the missing-font window; naming it here links
// the application's header sections into this program.
extern "C" const char __tap_program_name__[];

namespace {

const fs::path kGolden = fs::path(ORVADO_SOURCE_DIR) / "tests/screen/golden";

struct Case {
  std::string kind, font, tap;
  std::vector<std::string> lines, keys;
};

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out.push_back(char(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

Case readCase(const fs::path& file) {
  Case c;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "kind")
      c.kind = value;
    else if (key == "font")
      c.font = value;
    else if (key == "line")
      c.lines.push_back(unescape(value));
    else if (key == "tap")
      c.tap = value;
    else if (key == "key")
      c.keys.push_back(value);
  }
  return c;
}

emu::Image during;
void (*realDelay)(uint32_t);
void captureDelay(uint32_t ticks) {
  during = emu::screen();
  realDelay(ticks);
}

// Runs a built TAP as orvado-emu does, presses the keys half a second
// apart, and gives the screen as the run ends.
emu::Image runTap(const Case& c) {
  std::vector<emu::ScriptedKey> keys;
  for (size_t i = 0; i < c.keys.size(); ++i) {
    emu::ScriptedKey key{uint32_t(50 * (i + 1)), 0};
    EXPECT_TRUE(emu::parseKey(c.keys[i], key.code)) << c.keys[i];
    keys.push_back(key);
  }
  emu::RunOptions run;
  run.tapPath = std::string(ORVADO_BINARY_DIR) + "/" + c.tap;
  run.takeKeys = emu::scriptedKeys(keys);
  run.runTicks = uint32_t(50 * (keys.size() + 1));
  emu::Image shot;
  run.atEnd = [&] { shot = emu::screen(); };
  std::string error;
  EXPECT_TRUE(emu::runTap(run, &error)) << error;
  return shot;
}

// Draws the case and returns the screen to compare.
emu::Image draw(const Case& c) {
  FontDataUC font{};
  if (c.kind == "tap") return runTap(c);
  if (c.kind == "missing-font") {
    EXPECT_STREQ(__tap_program_name__, "Orvado");
    realDelay = TAP_Delay;
    TAP_Delay = captureDelay;
    during = {};
    FMUC_LoadFontFile(c.font.c_str(), &font);
    TAP_Delay = realDelay;
    FMUC_FreeFontFile(&font);
    return during;
  }
  if (c.kind == "menu") {
    // The application's own menu, drawn by liststream from the channel names.
    EXPECT_LE(c.lines.size(), 9u) << "the menu has nine channels";
    for (size_t i = 0; i < c.lines.size() && i < 9; ++i) {
      std::strncpy(_OrvadoName[i], c.lines[i].c_str(), sizeof _OrvadoName[i] - 1);
      _OrvadoName[i][sizeof _OrvadoName[i] - 1] = 0;
    }
    EXPECT_EQ(FMUC_LoadFontFile(c.font.c_str(), &Calibri_14_FontDataUC), 1) << c.font;
    _rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
    liststream();
    FMUC_FreeFontFile(&Calibri_14_FontDataUC);
    return emu::screen();
  }
  EXPECT_EQ(FMUC_LoadFontFile(c.font.c_str(), &font), 1) << c.font;
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
  if (c.kind == "status") {
    static const uint32_t stripes[] = {0xFF203040, 0xFF802020, 0xFFE0E0E0, 0xFF104010, 0xFF000000, 0xFF4060C0};
    for (uint32_t x = 0; x < 720; x += 12) TAP_Osd_FillBox(rgn, x, 0, 12, 576, stripes[(x / 12) % 6]);
    for (size_t i = 0; i < c.lines.size(); ++i)
      FMUC_PutString(rgn, 20, uint32_t(30 + 20 * i), 120, c.lines[i].c_str(), 0xFF00FF00, 0, &font, 0, 1);
  } else {
    ADD_FAILURE() << "unknown kind '" << c.kind << "'";
  }
  FMUC_FreeFontFile(&font);
  return emu::screen();
}

// The case folders, in name order.
std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const fs::directory_entry& dir : fs::directory_iterator(kGolden))
    if (dir.is_directory()) names.push_back(dir.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class GoldenScreen : public testing::TestWithParam<std::string> {};

TEST_P(GoldenScreen, MatchesItsReference) {
  bool update = std::getenv("ORVADO_UPDATE_GOLDEN") && std::string(std::getenv("ORVADO_UPDATE_GOLDEN")) == "1";
  const std::string name = GetParam();
  const fs::path dir = kGolden / name;
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  Case c = readCase(dir / "input.txt");
  emu::Image got = draw(c);
  screen_test::logMessages();
  ASSERT_EQ(got.width, 720u);
  ASSERT_EQ(got.height, 576u);

  std::string error;
  fs::path reference = dir / "reference.png";
  if (update) {
    ASSERT_TRUE(emu::savePng(got, reference.string(), &error)) << error;
    return;
  }
  emu::Image want;
  ASSERT_TRUE(emu::loadPng(reference.string(), want, &error)) << error << " (ORVADO_UPDATE_GOLDEN=1 makes it)";
  size_t differ = 0;
  for (size_t i = 0; i < want.pixels.size() && i < got.pixels.size(); ++i) differ += want.pixels[i] != got.pixels[i];
  EXPECT_TRUE(want.width == got.width && want.height == got.height && differ == 0)
      << differ << " pixels differ from " << reference;
  if (differ != 0) {
    fs::path actual = fs::path(ORVADO_BINARY_DIR) / "golden_actual" / (name + ".png");
    fs::create_directories(actual.parent_path());
    emu::savePng(got, actual.string(), &error);
    ADD_FAILURE() << "what came out is in " << actual;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenScreen, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
