// Blending, measuring and drawing: truncation, alignment, marks, clipping.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fonts/ufnt_builder.h"
#include "lib/fonts/fonts.h"
#include "screen/screen_support.h"

using namespace fonts_test;

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF, kBg = 0xFF101010, kClear = 0;

TEST(Blend, NumericExamples) {
  EXPECT_EQ(FM_AlphaBlend(128, 0xFF, 0x10, 1.0f), 0x87);
  EXPECT_EQ(FM_AlphaBlend(200, 0xFF, 0xFF, 1.0f), 0xFE) << "division by 256";
  EXPECT_EQ(FM_AlphaBlend(128, 0xFF, 0x00, 1.0f), 0x7F);
  EXPECT_EQ(FM_AlphaBlend(0, 0xFF, 0x12, 0.5f), 0x12) << "no factor at coverage 0";
  EXPECT_EQ(FM_AlphaBlend(255, 0xFF, 0x12, 0.5f), 0xFF) << "nor at 255";
  EXPECT_EQ(FM_AlphaBlend(128, 0xFF, 0x10, 0.5f), 0x43);
  EXPECT_EQ(FM_AlphaBlend(128, 0xFF, 0x10, 3.0f), 0xFF) << "out of range saturates";
  EXPECT_EQ(FM_AlphaBlendRGB(128, 0xFF00FF00, 0x00000000, 1.0f), 0x00007F00u);
  EXPECT_EQ(FM_AlphaBlendRGB(128, 0xFFFFFFFF, 0xFF101010, 1.0f), 0x00878787u);

  FM_InitAlphaLUT(0xFF204060, 0xFF806040, 1.0f);
  for (int a : {1, 77, 128, 254}) {
    EXPECT_EQ(AlphaLUT[a][0], FM_AlphaBlend(uint8_t(a), 0x20, 0x80, 1.0f));
    EXPECT_EQ(AlphaLUT[a][1], FM_AlphaBlend(uint8_t(a), 0x40, 0x60, 1.0f));
    EXPECT_EQ(AlphaLUT[a][2], FM_AlphaBlend(uint8_t(a), 0x60, 0x40, 1.0f));
  }
}

// The blend scales without floating-point arithmetic (the receiver may lack
// an FPU), so it is held against the processor's own float multiplication
// over every blended value and factors of every kind: ties of rounding,
// subnormals, negatives, huge, infinite and NaN.
TEST(Blend, ColourFactorScalesAsFloatArithmeticDoes) {
  std::vector<uint32_t> factors = {0x3F800000u, 0x3F000000u, 0x40400000u, 0x3F7FFFFFu, 0x3F800001u, 0x00000001u,
                                   0x007FFFFFu, 0x00800000u, 0x80000000u, 0x00000000u, 0xBF000000u, 0xBF800000u,
                                   0xBF7FFFFFu, 0x437F0000u, 0x43800000u, 0x3B800000u, 0x3B808081u, 0x7F7FFFFFu,
                                   0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00001u, 0x4B7FFFFFu, 0x3C010204u};
  uint32_t x = 12345;
  for (int i = 0; i < 4000; ++i) {
    x = x * 1103515245u + 12345u;
    // Mostly factors near the useful range, some anywhere.
    factors.push_back(i % 4 == 0 ? x : (0x3C000000u + (x >> 6)) ^ (x & 0x80000000u));
  }
  for (uint32_t bits : factors) {
    float factor;
    memcpy(&factor, &bits, sizeof factor);
    for (int v = 0; v < 256; ++v) {
      // v is the blend of f = v at full coverage over itself at coverage 1.
      volatile float scaled = float(((255 - 1) * v + 1 * v) >> 8) * factor;
      uint8_t expected = !(scaled > -1.0f && scaled < 256.0f) ? 255 : uint8_t(int(scaled));
      ASSERT_EQ(FM_AlphaBlend(1, uint8_t(v), uint8_t(v), factor), expected)
          << std::hex << "factor bits " << bits << " value " << v;
    }
  }
}

TEST(Blend, MarksAndUtf8Steps) {
  for (uint32_t cp :
       {0x300u, 0x301u, 0x36Fu, 0xE34u, 0xE3Au, 0xE47u, 0xE4Eu, 0xA8u, 0xB4u, 0xB8u, 0x384u, 0x385u, 0xE31u})
    EXPECT_EQ(FMUC_IsDiacriticalMark(cp), 1) << std::hex << cp;
  for (uint32_t cp : {0x2FFu, 0x370u, 0xE33u, 0xE3Bu, 0xE46u, 0xE4Fu, 0xA9u, 0x41u, 0x386u})
    EXPECT_EQ(FMUC_IsDiacriticalMark(cp), 0) << std::hex << cp;

  const char* s = "a\xC3\xA9\xE2\x82\xAC";
  EXPECT_EQ(FMUC_FindNextUTF8(s), s + 1);
  EXPECT_EQ(FMUC_FindNextUTF8(s + 1), s + 3);
  EXPECT_EQ(FMUC_FindNextUTF8(s + 2), s + 3);
  EXPECT_EQ(FMUC_FindNextUTF8(s + 3), s + 6) << "the terminator counts";
  EXPECT_EQ(FMUC_FindNextUTF8(s + 6), s + 6) << "never past the terminator";
  EXPECT_EQ(FMUC_FindUTF8Start(s + 5), s + 3);
  EXPECT_EQ(FMUC_FindUTF8Start(s + 1), s + 1);
  EXPECT_EQ(FMUC_FindNextUTF8(nullptr), nullptr);
  EXPECT_EQ(FMUC_FindUTF8Start(nullptr), nullptr);
}

class Draw : public ::testing::Test {
 protected:
  void SetUp() override {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    installFont("blocks.ufnt", makeUfnt(blockGlyphs()));
    blocks = emu::liveBlocks();
    ASSERT_EQ(FMUC_LoadFontFile("blocks.ufnt", &font), 1);
    rgn = uint16_t(TAP_Osd_Create(0, 0, 200, 40, 0, 0));
  }
  void TearDown() override {
    FMUC_FreeFontFile(&font);
    EXPECT_EQ(emu::liveBlocks(), blocks) << "working copies and saved boxes are freed";
    screen_test::logMessages();
  }

  uint32_t at(uint32_t x, uint32_t y, uint16_t r = 0) {
    emu::Image img = emu::regionImage(r ? r : rgn);
    return img.pixels.at(size_t(y) * img.width + x);
  }
  // Columns of row y that hold colour c, as a string of '#' and '.'.
  std::string row(uint32_t y, uint32_t c, uint32_t from = 0, uint32_t to = 60) {
    emu::Image img = emu::regionImage(rgn);
    std::string s;
    for (uint32_t x = from; x < to; ++x) s += img.pixels[size_t(y) * img.width + x] == c ? '#' : '.';
    return s;
  }
  // The region's pixels after drawing `text` alone into a fresh region.
  std::vector<uint32_t> drawnAlone(const char* text, uint32_t x, uint32_t maxX, uint32_t bg = kBg) {
    uint16_t other = uint16_t(TAP_Osd_Create(0, 0, 200, 40, 0, 0));
    FMUC_PutString(other, x, 10, maxX, text, kWhite, bg, &font, 3, 0);
    std::vector<uint32_t> px = emu::regionImage(other).pixels;
    TAP_Osd_Delete(other);
    return px;
  }

  FontDataUC font{};
  uint16_t rgn = 0;
  size_t blocks = 0;
};

TEST_F(Draw, MeasuresWithoutMarks) {
  EXPECT_EQ(FMUC_GetStringWidth("abc", &font), 15u);
  EXPECT_EQ(FMUC_GetStringWidth("e\xCC\x81", &font), FMUC_GetStringWidth("e", &font));
  EXPECT_EQ(FMUC_GetStringHeight("\xCC\x81", &font), 2u);
  EXPECT_EQ(FMUC_GetStringHeight("a\xCC\x81", &font), 4u);
  EXPECT_EQ(FMUC_GetStringWidth("a\x01"
                                "b",
                                &font),
            10u)
      << "characters without glyph take no room";
  EXPECT_EQ(FMUC_GetStringWidth(nullptr, &font), 0u);
  EXPECT_EQ(FMUC_GetStringWidth("abc", nullptr), 0u);
  EXPECT_EQ(FMUC_GetStringHeight("", &font), 0u);
}

TEST_F(Draw, SolidBackgroundFillsTheFieldAndBlendsThroughTheTable) {
  installFont("grey.ufnt", makeUfnt({{'g', 2, 1, {128, 255}}}));
  FontDataUC grey{};
  ASSERT_EQ(FMUC_LoadFontFile("grey.ufnt", &grey), 1);
  FMUC_PutString(rgn, 10, 5, 30, "g", kWhite, kBg, &grey, 0, 0);
  EXPECT_EQ(at(10, 5), 0xFF878787u);
  EXPECT_EQ(at(11, 5), kWhite);
  EXPECT_EQ(row(5, kBg, 8, 32),
            "..."
            "."
            "##################"
            "..")
      << "field x to maxX";
  EXPECT_EQ(row(6, kBg, 8, 32),
            ".."
            "####################"
            "..")
      << "H + 1 rows";
  EXPECT_EQ(at(10, 7), kClear);
  FMUC_FreeFontFile(&grey);
}

TEST_F(Draw, WithoutBackgroundBlendsOverTheRegion) {
  installFont("grey.ufnt", makeUfnt({{'g', 6, 1, {128, 128, 128, 128, 200, 0}}}));
  FontDataUC grey{};
  ASSERT_EQ(FMUC_LoadFontFile("grey.ufnt", &grey), 1);
  // Pixels beneath: clear black, clear black, a colour, clear black again,
  // so the memo must not hand a stale blend on.
  TAP_Osd_FillBox(rgn, 12, 5, 1, 1, 0x80406080);
  FMUC_PutString(rgn, 10, 5, 30, "g", 0xFF00FF00, 0, &grey, 0, 0);
  EXPECT_EQ(at(10, 5), 0xFF007F00u);
  EXPECT_EQ(at(11, 5), 0xFF007F00u);
  EXPECT_EQ(at(12, 5), 0xFF000000u | FM_AlphaBlendRGB(128, 0xFF00FF00, 0x80406080, 1.0f));
  EXPECT_EQ(at(13, 5), 0xFF007F00u);
  EXPECT_EQ(at(14, 5), 0xFF00C700u);
  EXPECT_EQ(at(15, 5), kClear);
  EXPECT_EQ(at(16, 5), kClear) << "no fill without a background";

  FMUC_PutStringAA(rgn, 10, 20, 30, "g", 0xFF00FF00, 0, &grey, 0, 0, 0.5f);
  EXPECT_EQ(at(10, 20), 0xFF003F00u) << "the colour factor scales partial pixels";
  FMUC_FreeFontFile(&grey);
}

TEST_F(Draw, Alignment) {
  FMUC_PutString(rgn, 10, 0, 40, "ab", kWhite, 0, &font, 0, 0);
  FMUC_PutString(rgn, 10, 8, 40, "ab", kWhite, 0, &font, 0, 1);
  FMUC_PutString(rgn, 10, 16, 40, "ab", kWhite, 0, &font, 0, 2);
  FMUC_PutString(rgn, 10, 24, 40, "ab", kWhite, 0, &font, 0, 9);
  std::string ten(10, '#');
  EXPECT_EQ(row(0, kWhite, 0, 45), std::string(10, '.') + ten + std::string(25, '.'));
  EXPECT_EQ(row(8, kWhite, 0, 45), std::string(20, '.') + ten + std::string(15, '.'));
  EXPECT_EQ(row(16, kWhite, 0, 45), std::string(30, '.') + ten + std::string(5, '.'));
  EXPECT_EQ(row(24, kWhite, 0, 45), row(0, kWhite, 0, 45)) << "other values align left";
}

TEST_F(Draw, TruncationModes) {
  // Mode 0: "abcdef" is 30 wide in a field of 20: "abcd", no ellipsis.
  FMUC_PutString(rgn, 10, 10, 30, "abcdef", kWhite, kBg, &font, 0, 0);
  EXPECT_EQ(emu::regionImage(rgn).pixels, drawnAlone("abcd", 10, 30));

  // Mode 1 keeps room for "... " (9 wide) and appends "...": 15 + 9 fit.
  FMUC_PutString(rgn, 10, 10, 35, "abcdef", kWhite, kBg, &font, 1, 0);
  EXPECT_EQ(emu::regionImage(rgn).pixels, drawnAlone("abc...", 10, 35));

  // Mode 2 keeps the end behind "...".
  FMUC_PutString(rgn, 10, 10, 35, "abcdef", kWhite, kBg, &font, 2, 0);
  EXPECT_EQ(emu::regionImage(rgn).pixels, drawnAlone("...def", 10, 35));

  // Mode 3 draws and fills nothing when the text is too wide.
  uint16_t before = rgn;
  rgn = uint16_t(TAP_Osd_Create(0, 0, 200, 40, 0, 0));
  FMUC_PutString(rgn, 10, 10, 35, "abcdef", kWhite, kBg, &font, 3, 0);
  EXPECT_EQ(row(10, kClear, 0, 60), std::string(60, '#'));
  TAP_Osd_Delete(before);
}

TEST_F(Draw, TruncationNeverLosesTheFirstCharacter) {
  FMUC_PutString(rgn, 10, 10, 13, "ab", kWhite, kBg, &font, 0, 0);
  EXPECT_EQ(row(10, kClear, 0, 60), std::string(60, '#')) << "first character alone too wide: nothing at all";

  FMUC_PutString(rgn, 10, 20, 13, "a", kWhite, kBg, &font, 0, 0);
  EXPECT_EQ(row(20, kBg, 8, 15), "..###..") << "a lone character goes: an empty line, one row filled";
  EXPECT_EQ(row(21, kBg, 8, 15), ".......");
}

TEST_F(Draw, DroppingAMarkKeepsTheRectangleWideEnough) {
  // "abcde" + U+0301 in a field of 22: the mark and the "e" go, and "abcd"
  // must come out whole, not cut at the rectangle's edge.
  FMUC_PutString(rgn, 10, 10, 32, "abcde\xCC\x81", kWhite, 0, &font, 0, 0);
  EXPECT_EQ(row(10, kWhite, 10, 32), std::string(20, '#') + "..");
}

TEST_F(Draw, CombiningMarksAreCentredAndClipped) {
  // "e" spans columns 10-14; its centre is 12, so the 3-wide accent sits on 11-13.
  FMUC_PutString(rgn, 10, 10, 40, "e\xCC\x81", 0xFF0000FF, 0, &font, 0, 0);
  uint32_t accent = 0xFF000000u | FM_AlphaBlendRGB(0x40, 0xFF0000FF, 0xFF0000FF, 1.0f);
  EXPECT_EQ(at(11, 10), accent);
  EXPECT_EQ(at(13, 11), accent);
  EXPECT_EQ(at(12, 12), 0xFF0000FFu) << "the base below";

  // A mark that opens the text would start left of the rectangle; a mark
  // wider than its base would reach past it. Neither writes outside.
  uint16_t r2 = uint16_t(TAP_Osd_Create(0, 0, 200, 40, 0, 0));
  TAP_Osd_FillBox(r2, 0, 0, 200, 40, 0xFF333333);
  FMUC_PutString(r2, 10, 10, 40,
                 "\xCC\x81"
                 "a",
                 kWhite, 0, &font, 0, 0);
  FMUC_PutString(r2, 10, 20, 40, "i\xCC\x82", kWhite, 0, &font, 0, 0);
  emu::Image img = emu::regionImage(r2);
  auto px = [&](uint32_t x, uint32_t y) { return img.pixels[size_t(y) * img.width + x]; };
  EXPECT_EQ(px(9, 10), 0xFF333333u);
  EXPECT_EQ(px(15, 10), 0xFF333333u) << "the row above's right edge is not hit either";
  // The 2-wide "i" gives a rectangle of 3 columns; the accent's fourth
  // column would land on the next row's first pixel.
  EXPECT_EQ(px(10, 22), kWhite);
  EXPECT_EQ(px(12, 22), 0xFF333333u);
  EXPECT_EQ(px(12, 23), 0xFF333333u);
  TAP_Osd_Delete(r2);
}

TEST_F(Draw, BroadcastTextIsConvertedAndCleaned) {
  // Byte DE in ISO 8859-9 is U+015E (7 wide), not U+00DE (9 wide).
  FMUC_PutString(rgn, 10, 10, 100, "a\xDE", kWhite, 0, &font, 0, 0);
  EXPECT_EQ(row(10, kWhite, 10, 30), std::string(12, '#') + std::string(8, '.'));
  // Mixed with valid UTF-8 the byte stands for itself.
  FMUC_PutString(rgn, 10, 20, 100, "\xC3\xA9\xDE", kWhite, 0, &font, 0, 0);
  EXPECT_EQ(row(20, kWhite, 10, 30), std::string(14, '#') + std::string(6, '.'));
  // Line feeds and control bytes are taken out before measuring.
  FMUC_PutString(rgn, 10, 30, 100, "a\nb\x05", kWhite, 0, &font, 2, 2);
  EXPECT_EQ(row(30, kWhite, 85, 100), std::string(5, '.') + std::string(10, '#'));
}

// A 0x10 selector's 0x00 byte ends the text for strlen; the working copy must
// still hold the whole converted text.
TEST_F(Draw, SelectorWithZeroByteDoesNotOverrunTheWorkingCopy) {
  std::string text = std::string("\x10\x00\x02", 3) + std::string(30, '\xB1');
  FMUC_PutString(rgn, 0, 10, 199, text.c_str(), kWhite, kBg, &font, 0, 0);
  EXPECT_EQ(emu::heapOverruns(), 0);
}

TEST_F(Draw, NothingForEmptyInputAndTheRegionLimitsTheField) {
  FMUC_PutString(rgn, 10, 10, 10, "a", kWhite, kBg, &font, 0, 0);
  FMUC_PutString(rgn, 10, 10, 40, "", kWhite, kBg, &font, 0, 0);
  FMUC_PutString(rgn, 10, 10, 40, nullptr, kWhite, kBg, &font, 0, 0);
  FMUC_PutString(rgn, 10, 10, 40, "a", kWhite, kBg, nullptr, 0, 0);
  FMUC_PutString(rgn, 250, 10, 400, "a", kWhite, kBg, &font, 0, 0);
  EXPECT_EQ(row(10, kClear, 0, 60), std::string(60, '#'));

  // maxX beyond the 200-wide region becomes 199: right-aligned text ends there.
  FMUC_PutString(rgn, 100, 20, 5000, "ab", kWhite, 0, &font, 0, 2);
  EXPECT_EQ(at(188, 20), kClear);
  EXPECT_EQ(at(189, 20), kWhite);
  EXPECT_EQ(at(198, 20), kWhite);
  EXPECT_EQ(at(199, 20), kClear);
}

}  // namespace
