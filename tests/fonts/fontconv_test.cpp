// The font converter as a program: its help, its errors, and the UFNT files
// it writes from the real fonts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "lib/text/tables.h"
#include "lib/text/text.h"
#include "support/testing.h"

namespace {

const std::string kTool = ORVADO_RUN_PREFIX + std::string(ORVADO_BINARY_DIR) + "/tools/fontconv/fontconv";
const std::string kCarlito = "/usr/share/fonts/truetype/crosextra/Carlito-Regular.ttf";
const std::string kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct ToolRun {
  int status;
  std::string output;
};

ToolRun run(const std::string& args) {
  ToolRun r{-1, ""};
  FILE* p = popen((kTool + " " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

struct Entry {
  uint32_t cp, offset;
  uint16_t w, h;
};

std::vector<Entry> entries(const std::string& file) {
  std::vector<Entry> out;
  int32_t n = 0;
  std::memcpy(&n, file.data() + 4, 4);
  for (int32_t i = 0; i < n; ++i) {
    Entry e;
    std::memcpy(&e.cp, file.data() + 8 + 12 * i, 4);
    std::memcpy(&e.offset, file.data() + 12 + 12 * i, 4);
    std::memcpy(&e.w, file.data() + 16 + 12 * i, 2);
    std::memcpy(&e.h, file.data() + 18 + 12 * i, 2);
    out.push_back(e);
  }
  return out;
}

// The lowest row of a glyph's cell that holds ink.
int lowestInk(const std::string& file, const Entry& e) {
  for (int r = e.h - 1; r >= 0; --r)
    for (int c = 0; c < e.w; ++c)
      if (file[e.offset + size_t(r) * e.w + c] != 0) return r;
  return -1;
}

TEST(FontConverter, HelpAndErrors) {
  ToolRun help = run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: fontconv"), std::string::npos);
  EXPECT_NE(help.output.find("--charset"), std::string::npos);

  ToolRun missing = run("--size 12 /nowhere/font.ttf /mnt/hd/MediaFiles/x.ufnt");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.output.find("cannot open font '/nowhere/font.ttf'"), std::string::npos) << missing.output;

  EXPECT_NE(run("--size 2 " + kCarlito + " /mnt/hd/MediaFiles/x.ufnt").output.find("pixel size must be 4 to 200"),
            std::string::npos);
  EXPECT_NE(run(kCarlito + " /mnt/hd/MediaFiles/x.ufnt").output.find("--size is required"), std::string::npos);
  EXPECT_NE(
      run("--size 12 --charset U+0050-U+0040 " + kCarlito + " /mnt/hd/MediaFiles/x.ufnt").output.find("runs backwards"),
      std::string::npos);
  EXPECT_NE(run("--size 12 --charset latin-9 " + kCarlito + " /mnt/hd/MediaFiles/x.ufnt").output.find("bad code point"),
            std::string::npos);
  EXPECT_NE(run("--size 12 /etc/hostname /mnt/hd/MediaFiles/x.ufnt").output.find("not a font"), std::string::npos);

  // A character in none of the fonts: a warning, or with --strict a failure.
  ToolRun warn = run("--size 12 --charset U+0041,U+E000 " + kCarlito + " /mnt/hd/MediaFiles/w.ufnt");
  EXPECT_EQ(warn.status, 0);
  EXPECT_NE(warn.output.find("U+E000"), std::string::npos);
  EXPECT_EQ(run("--strict --size 12 --charset U+0041,U+E000 " + kCarlito + " /mnt/hd/MediaFiles/w.ufnt").status, 1);
}

TEST(FontConverter, FallbackGlyphsShareTheBaseline) {
  ToolRun r = run("--size 14 --charset U+0041-U+0043,U+0067,U+0301,U+266A --fallback " + kDejaVu + " " + kCarlito +
                  " /mnt/hd/MediaFiles/t.ufnt");
  ASSERT_EQ(r.status, 0) << r.output;
  std::string file = orvado_test::readFile("/mnt/hd/MediaFiles/t.ufnt");
  ASSERT_EQ(file.substr(0, 4), "UFNT");
  std::vector<Entry> e = entries(file);
  ASSERT_EQ(e.size(), 6u);
  for (size_t i = 0; i < e.size(); ++i) {
    EXPECT_EQ(e[i].h, e[0].h) << "every cell as high as the line";
    EXPECT_LE(e[i].offset + size_t(e[i].w) * e[i].h, file.size());
    if (i) {
      EXPECT_LT(e[i - 1].cp, e[i].cp);
    }
  }
  // A, B and C from Carlito and the note from DejaVu Sans stand on one line.
  int base = lowestInk(file, e[0]);
  EXPECT_GT(base, 0);
  EXPECT_EQ(lowestInk(file, e[1]), base);
  EXPECT_EQ(lowestInk(file, e[2]), base);
  EXPECT_GT(lowestInk(file, e[3]), base) << "g descends below it";
  EXPECT_NEAR(lowestInk(file, e[5]), base, 1) << "the note from the fallback font";
  // The combining acute keeps its ink alone, high in the cell.
  EXPECT_EQ(e[4].cp, 0x301u);
  EXPECT_GT(e[4].w, 0);
  EXPECT_LT(e[4].w, e[0].w);
  EXPECT_LT(lowestInk(file, e[4]), base / 2 + 2);
}

}  // namespace

// The fonts the build puts into the disk template hold every character the
// TAP can be asked to draw from broadcast text.
TEST(FontConverter, BuiltFontsCoverLatinGreekCyrillicMarksAndIso6937) {
  std::vector<uint32_t> needed = {0x20AC};
  auto range = [&](uint32_t from, uint32_t to) {
    for (uint32_t cp = from; cp <= to; ++cp) needed.push_back(cp);
  };
  range(0x20, 0x7E);    // Basic Latin
  range(0xA0, 0xFF);    // Latin-1
  range(0x100, 0x17F);  // Latin Extended-A
  range(0x300, 0x36F);  // combining marks
  range(0x391, 0x3A1);  // Greek capitals, then the rest of the assigned letters and tonos forms
  range(0x3A3, 0x3CE);
  for (uint32_t cp : {0x384u, 0x385u, 0x386u, 0x388u, 0x389u, 0x38Au, 0x38Cu, 0x38Eu, 0x38Fu, 0x390u})
    needed.push_back(cp);
  range(0x400, 0x45F);  // Cyrillic
  for (uint16_t cp : UTFLookupISO6937)
    if (cp) needed.push_back(cp);
  for (int i = 0; i < ISO6937_CompositionCount; ++i) {
    uint8_t len = 0;
    needed.push_back(UTF8ToUTF32(&ISO6937_CompositionValues[3 * i], &len));
  }
  for (const char* name : {"Calibri_12.ufnt", "Calibri_14.ufnt"}) {
    std::string file = orvado_test::readFile(std::string("/mnt/hd/ProgramFiles/Settings/Fonts/") + name);
    ASSERT_GT(file.size(), 8u) << name;
    std::set<uint32_t> have;
    for (const Entry& e : entries(file)) have.insert(e.cp);
    std::string missing;
    for (uint32_t cp : needed)
      if (!have.count(cp)) missing += " U+" + std::to_string(cp);
    EXPECT_TRUE(missing.empty()) << name << " lacks" << missing;
  }
}
