// The fast drawing path against the plain rendering (reference_draw.h):
// random lines of clean and unclean text (controls, line breaks, 8-bit
// bytes, selectors, marks, texts past the filter's length) in random fields,
// colours and colour factors, solid and over a picture, in a real font and
// in one with marks wider than their base. Every pixel must agree.
#include <gtest/gtest.h>

#include <random>

#include "fonts/reference_draw.h"
#include "fonts/ufnt_builder.h"
#include "screen/screen_support.h"

using namespace fonts_test;

namespace {

constexpr uint32_t kW = 240, kH = 40;

// Pieces that lines are made of: clean ones and ones that need the copy.
const char* const kPieces[] = {"a",
                               "Q",
                               "7",
                               " ",
                               ".",
                               "\xC3\xA9",
                               "\xE2\x82\xAC",
                               "\xCE\xA9",
                               "\xD0\x96",
                               "\xCC\x81",
                               "e",
                               "\xCC\x88",
                               "\xC3\x9F",
                               "i",
                               "\n",
                               "\x05",
                               "\x7F",
                               "\xE9",
                               "\xB1",
                               "\x8A",
                               "W",
                               "\xC2\x85",
                               "m",
                               "\xF0\x9F\x98\x80",
                               "\xC3",
                               "\xDE",
                               "~",
                               "\xD8\xA8",
                               "o",
                               "ij"};

std::string randomLine(std::mt19937& rng) {
  std::string s;
  if (rng() % 10 == 0) s += "\x05";  // a character-table selector
  // Half the lines of clean pieces only (the first 14), to take the path
  // without a copy, also when they are longer than the filter lets through.
  size_t kinds = rng() % 2 ? 14 : sizeof kPieces / sizeof *kPieces;
  size_t pieces = rng() % 4 == 0 ? 30 + rng() % 110 : rng() % 30;
  for (size_t i = 0; i < pieces; ++i) s += kPieces[rng() % kinds];
  return s;
}

std::vector<uint32_t> randomPicture(std::mt19937& rng) {
  std::vector<uint32_t> p(size_t(kW) * kH);
  for (uint32_t& px : p) px = rng() % 3 == 0 ? 0 : uint32_t(rng());
  return p;
}

void compareMany(FontDataUC* font, uint32_t seed) {
  std::mt19937 rng(seed);
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, kW, kH, 0, 0));
  for (int i = 0; i < 400; ++i) {
    std::string line = randomLine(rng);
    std::vector<uint32_t> picture = randomPicture(rng);
    TAP_Osd_RestoreBox(rgn, 0, 0, kW, kH, picture.data());
    uint32_t x = uint32_t(rng() % 60), maxX = x + 1 + uint32_t(rng() % 260), y = uint32_t(rng() % 30);
    uint32_t fg = uint32_t(rng()) | (rng() % 2 ? 0xFF000000u : 0);
    uint32_t bg = rng() % 2 ? 0 : uint32_t(rng()) | 0x01000000u;
    float factor = rng() % 4 == 0 ? 0.6f : 1.0f;
    uint8_t align = uint8_t(rng() % 4);
    std::vector<uint32_t> expected =
        referenceDraw(picture, kW, kH, x, y, maxX, line.c_str(), fg, bg, font, align, factor);
    FMUC_PutStringAA(rgn, x, y, maxX, line.c_str(), fg, bg, font, 3, align, factor);
    std::vector<uint32_t> got = emu::regionImage(rgn).pixels;

    ASSERT_EQ(got, expected) << "line " << i << " \"" << line << "\" x " << x << " maxX " << maxX << " y " << y
                             << " bg " << std::hex << bg << " factor " << factor << " align " << int(align);
  }
  TAP_Osd_Delete(rgn);
  screen_test::logMessages();
}

TEST(FastPath, DrawsAsThePlainRenderingInTheBuiltFont) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  FontDataUC font{};
  ASSERT_EQ(FMUC_LoadFontFile("Calibri_14.ufnt", &font), 1);
  compareMany(&font, 1);
  FMUC_FreeFontFile(&font);
}

TEST(FastPath, DrawsAsThePlainRenderingWithWideMarksAndRaggedGlyphs) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  // Narrow glyphs, so that lines longer than the filter lets through still
  // fit; coverage of every kind inside the ink, empty rows between inked
  // ones, a glyph for DEL, and marks wider than the letters they sit on.
  std::mt19937 rng(7);
  std::vector<uint32_t> codePoints = {0xE9, 0x20AC, 0x3A9, 0x416, 0xDF, 0xB1, 0x85, 0x628, 0x1F600, 0x15E, 0xDE};
  for (uint32_t c = 0x20; c <= 0x7F; ++c) codePoints.push_back(c);
  std::vector<TestGlyph> glyphs;
  for (uint32_t cp : codePoints) {
    TestGlyph g{cp, uint16_t(1 + rng() % 3), uint16_t(2 + rng() % 6), {}};
    g.bits.resize(size_t(g.width) * g.height);
    for (uint8_t& b : g.bits) {
      uint32_t kind = rng() % 4;
      b = kind == 0 ? 0 : kind == 1 ? 255 : uint8_t(rng());
    }
    if (g.height > 2) std::fill_n(g.bits.begin() + g.width, g.width, 0);
    glyphs.push_back(g);
  }
  // An 'm' like a comb: more runs than a glyph keeps room for, so it is
  // drawn from its spans even where it lies wholly inside the rectangle.
  for (TestGlyph& g : glyphs)
    if (g.cp == 'm') {
      g.width = 11;
      g.height = 3;
      g.bits.assign(33, 0);
      for (size_t i = 0; i < g.bits.size(); i += 2) g.bits[i] = i % 3 == 0 ? 255 : 0x77;
    }
  glyphs.push_back({0x0301, 5, 3, std::vector<uint8_t>(15, 0x40)});
  glyphs.push_back({0x0308, 9, 2, std::vector<uint8_t>(18, 0x90)});
  installFont("ragged.ufnt", makeUfnt(glyphs));
  FontDataUC font{};
  ASSERT_EQ(FMUC_LoadFontFile("ragged.ufnt", &font), 1);
  compareMany(&font, 2);
  FMUC_FreeFontFile(&font);
}

// Clean text is drawn where it is: the one block a line then takes is the
// saved rectangle. Text to filter or to cut gets its working copy.
TEST(FastPath, OnlyTextToFilterOrCutGetsAWorkingCopy) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  FontDataUC font{};
  ASSERT_EQ(FMUC_LoadFontFile("Calibri_14.ufnt", &font), 1);
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 100, 0, 0));
  auto blocksFor = [&](const char* text, uint32_t maxX, uint8_t truncation) {
    FMUC_PutString(rgn, 20, 10, maxX, text, 0xFFFFFFFF, 0xFF101010, &font, truncation, 0);  // glyphs now cached
    long before = emu::allocCalls();
    FMUC_PutString(rgn, 20, 10, maxX, text, 0xFFFFFFFF, 0xFF101010, &font, truncation, 0);
    return emu::allocCalls() - before;
  };
  EXPECT_EQ(blocksFor("Z\xC3\xBCrich 12\xE2\x82\xAC", 700, 0), 1);
  EXPECT_EQ(blocksFor("Z\xC3\xBCrich\n12", 700, 0), 2) << "a line break to filter out";
  EXPECT_EQ(blocksFor("Z\xFCrich", 700, 0), 2) << "8-bit text to convert";
  EXPECT_EQ(blocksFor("Zurich is a long name", 60, 1), 2) << "cut with an ellipsis";
  TAP_Osd_Delete(rgn);
  FMUC_FreeFontFile(&font);
  screen_test::logMessages();
}

// Clean text is found clean and measured in one pass: a glyph missing from
// the font is looked up (and logged) once a line, also when a byte further
// on sends the text to the working copy after all.
TEST(FastPath, AMissingGlyphIsLookedUpOnceALine) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  installFont("no_euro.ufnt", makeUfnt({{'a', 2, 3, std::vector<uint8_t>(6, 0x80)}}));
  FontDataUC font{};
  ASSERT_EQ(FMUC_LoadFontFile("no_euro.ufnt", &font), 1);
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 100, 20, 0, 0));
  screen_test::logMessages();
  for (const char* text : {"a\xE2\x82\xAC"
                           "a",
                           "a\xE2\x82\xAC"
                           "a\n"}) {
    FMUC_PutString(rgn, 0, 0, 90, text, 0xFFFFFFFF, 0, &font, 0, 0);
    EXPECT_EQ(screen_test::logMessages(), std::vector<std::string>{"Glyph 20ac not found"}) << text;
  }
  TAP_Osd_Delete(rgn);
  FMUC_FreeFontFile(&font);
}

}  // namespace
