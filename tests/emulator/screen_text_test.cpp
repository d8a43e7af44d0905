// TAP_Osd_PutS and TAP_Osd_GetW with the real built-in font: measures, the
// line box, alignment, background, clipping and blending, read back from the
// drawn pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "support/testing.h"

namespace {

struct Ink {
  int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;  // right and bottom inclusive
  bool any() const { return right >= 0; }
};

// Pixels of the region that differ from `ground`.
Ink inkOf(uint16_t rgn, uint32_t ground) {
  emu::Image img = emu::regionImage(rgn);
  Ink ink;
  for (uint32_t y = 0; y < img.height; ++y)
    for (uint32_t x = 0; x < img.width; ++x)
      if (img.pixels[y * img.width + x] != ground) {
        ink.left = std::min(ink.left, static_cast<int>(x));
        ink.right = std::max(ink.right, static_cast<int>(x));
        ink.top = std::min(ink.top, static_cast<int>(y));
        ink.bottom = std::max(ink.bottom, static_cast<int>(y));
      }
  return ink;
}

class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    rgn = static_cast<uint16_t>(TAP_Osd_Create(0, 0, 400, 100, 0, 0));
  }
  void clear(uint32_t colour = 0) { TAP_Osd_FillBox(rgn, 0, 0, 400, 100, colour); }
  Ink draw(const char* text, uint32_t x, uint32_t maxX, uint8_t align, uint8_t size = 1, uint32_t y = 10) {
    clear();
    EXPECT_EQ(TAP_Osd_PutS(rgn, x, y, maxX, text, 0xFFFFFFFF, 0, 0, size, 0, align), 0);
    return inkOf(rgn, 0);
  }
  uint32_t pixel(uint32_t x, uint32_t y) { return emu::regionImage(rgn).pixels.at(y * 400 + x); }
  uint16_t rgn = 0;
};

TEST_F(Text, WidthsGrowWithTextAndSizeAndMatchTheDrawnText) {
  EXPECT_EQ(TAP_Osd_GetW(nullptr, 0, 1), 0);
  EXPECT_EQ(TAP_Osd_GetW("", 0, 1), 0);
  int a = TAP_Osd_GetW("a", 0, 1);
  EXPECT_GT(a, 3);
  EXPECT_LT(a, 22);
  int prev = 0;
  std::string text;
  for (char c : std::string("Orvado 123 WWW iii")) {
    text += c;
    int w = TAP_Osd_GetW(text.c_str(), 0, 1);
    EXPECT_GT(w, prev) << text;
    prev = w;
  }
  const char* line = "Start Orvado";
  int w0 = TAP_Osd_GetW(line, 0, 0), w1 = TAP_Osd_GetW(line, 0, 1), w2 = TAP_Osd_GetW(line, 0, 2);
  EXPECT_LT(w0, w1);
  EXPECT_LT(w1, w2);
  EXPECT_EQ(TAP_Osd_GetW(line, 0, 7), w2) << "sizes above 2 draw as 2";
  EXPECT_EQ(TAP_Osd_GetW("\xC3\xA9t\xC3\xA9", 0, 1), TAP_Osd_GetW("\xE9t\xE9", 0, 1))
      << "a byte that is not UTF-8 reads as Latin-1";
  EXPECT_EQ(TAP_Osd_GetW("ab\ncd\t", 0, 1), TAP_Osd_GetW("abcd", 0, 1)) << "control characters take no room";

  // The drawn ink spans about the measured width: no more than the advance,
  // and no glyph missing at either end.
  for (uint8_t size : {uint8_t{0}, uint8_t{1}, uint8_t{2}}) {
    int w = TAP_Osd_GetW("Hello, World", 0, size);
    Ink ink = draw("Hello, World", 20, 390, 0, size);
    ASSERT_TRUE(ink.any());
    EXPECT_GE(ink.left, 20);
    EXPECT_LE(ink.left, 20 + 3);
    EXPECT_LE(ink.right, 20 + w) << int(size);
    EXPECT_GE(ink.right, 20 + w - 4) << int(size);
  }
}

TEST_F(Text, EachSizeFitsItsLineHeight) {
  const uint32_t heights[] = {19, 22, 26};
  for (uint8_t size : {uint8_t{0}, uint8_t{1}, uint8_t{2}}) {
    // Accented capitals and descenders reach the top and bottom of the line.
    Ink ink = draw("\xC3\x89gjp|\xC3\x85y", 10, 390, 0, size, 30);
    ASSERT_TRUE(ink.any());
    EXPECT_GE(ink.top, 30) << int(size);
    EXPECT_LT(ink.bottom, 30 + static_cast<int>(heights[size])) << int(size);
    EXPECT_GE(ink.bottom - ink.top + 1, static_cast<int>(heights[size]) - 2) << "the font fills its line" << int(size);
    // The background box is exactly one line high.
    clear();
    EXPECT_EQ(TAP_Osd_PutS(rgn, 10, 30, 390, "x", 0xFFFFFFFF, 0xFF101010, 0, size, 0, 0), 0);
    EXPECT_EQ(pixel(10, 30 + heights[size] - 1), 0xFF101010u) << int(size);
    EXPECT_EQ(pixel(10, 30 + heights[size]), 0u) << int(size);
  }
}

TEST_F(Text, AlignmentPlacesTheMeasuredWidthLeftCentredOrRight) {
  const char* text = "Channel 7";
  const uint32_t x = 40, maxX = 300;
  int w = TAP_Osd_GetW(text, 0, 1);
  Ink left = draw(text, x, maxX, 0);
  Ink centre = draw(text, x, maxX, 1);
  Ink right = draw(text, x, maxX, 2);
  Ink other = draw(text, x, maxX, 9);
  int free = static_cast<int>(maxX - x) - w;
  EXPECT_EQ(centre.left - left.left, free / 2);
  EXPECT_EQ(right.left - left.left, free);
  EXPECT_EQ(right.right - left.right, free);
  EXPECT_LT(right.right, static_cast<int>(maxX));
  EXPECT_GE(right.right, static_cast<int>(maxX) - 4) << "right-aligned text ends at maxX";
  EXPECT_EQ(other.left, left.left) << "an unknown alignment is left";
  EXPECT_EQ(left.top, right.top);
}

TEST_F(Text, BackgroundFillsTheFieldAndTextIsCutAtMaxX) {
  clear(0xFF0000FF);
  EXPECT_EQ(TAP_Osd_PutS(rgn, 50, 20, 150, "ab", 0xFFFFFFFF, 0xFF101010, 0, 1, 0, 2), 0);
  EXPECT_EQ(pixel(50, 20), 0xFF101010u) << "the box runs from x whatever the alignment";
  EXPECT_EQ(pixel(149, 41), 0xFF101010u);
  EXPECT_EQ(pixel(49, 20), 0xFF0000FFu);
  EXPECT_EQ(pixel(150, 20), 0xFF0000FFu);
  EXPECT_EQ(pixel(50, 19), 0xFF0000FFu);
  EXPECT_EQ(pixel(50, 42), 0xFF0000FFu);

  // Without a background only the glyphs change the region.
  clear(0xFF0000FF);
  EXPECT_EQ(TAP_Osd_PutS(rgn, 50, 20, 150, "ab", 0xFFFFFFFF, 0x00101010, 0, 1, 0, 0), 0);
  EXPECT_EQ(pixel(140, 30), 0xFF0000FFu);
  EXPECT_TRUE(inkOf(rgn, 0xFF0000FF).any());

  // Too wide: drawn from x, cut at maxX, nothing beyond it.
  const char* longText = "WWWWWWWWWWWWWWWWWWWWWWWWWWWWWW";
  ASSERT_GT(TAP_Osd_GetW(longText, 0, 1), 100);
  for (uint8_t align : {uint8_t{0}, uint8_t{1}, uint8_t{2}}) {
    Ink ink = draw(longText, 50, 150, align);
    EXPECT_LE(ink.left, 52) << int(align);
    EXPECT_EQ(ink.right, 149) << int(align);
  }
  // maxX beyond the region ends at the region's edge; a field of no width fails.
  Ink edge = draw(longText, 300, 5000, 0);
  EXPECT_EQ(edge.right, 399);
  EXPECT_NE(TAP_Osd_PutS(rgn, 150, 20, 150, "a", 0xFFFFFFFF, 0xFF101010, 0, 1, 0, 0), 0);
  EXPECT_NE(TAP_Osd_PutS(rgn, 400, 20, 500, "a", 0xFFFFFFFF, 0xFF101010, 0, 1, 0, 0), 0);
  EXPECT_NE(TAP_Osd_PutS(rgn, 0, 100, 50, "a", 0xFFFFFFFF, 0xFF101010, 0, 1, 0, 0), 0);
  EXPECT_NE(TAP_Osd_PutS(rgn, 0, 0, 50, nullptr, 0xFFFFFFFF, 0xFF101010, 0, 1, 0, 0), 0);
  // A line at the bottom is cut at the region's lower edge.
  Ink low = draw("gjpq", 10, 200, 0, 2, 90);
  EXPECT_EQ(low.bottom, 99);
}

TEST_F(Text, GlyphsAreAntiAliasedAndBlendWithTheForegroundsAlpha) {
  clear(0xFF000000);
  ASSERT_EQ(TAP_Osd_PutS(rgn, 10, 10, 300, "Orvado", 0xFFFFFFFF, 0, 0, 2, 0, 0), 0);
  std::set<uint32_t> greys;
  for (uint32_t p : emu::regionImage(rgn).pixels) {
    EXPECT_EQ(p >> 24, 0xFFu);
    EXPECT_TRUE((p & 0xFF) == ((p >> 8) & 0xFF) && (p & 0xFF) == ((p >> 16) & 0xFF)) << std::hex << p;
    greys.insert(p & 0xFF);
  }
  EXPECT_TRUE(greys.count(0xFF));
  EXPECT_GT(greys.size(), 20u) << "edges are shades between black and white";

  // Half-transparent white over opaque black reaches half grey at most.
  clear(0xFF000000);
  ASSERT_EQ(TAP_Osd_PutS(rgn, 10, 10, 300, "Orvado", 0x80FFFFFF, 0, 0, 2, 0, 0), 0);
  uint32_t brightest = 0;
  for (uint32_t p : emu::regionImage(rgn).pixels) brightest = std::max(brightest, p & 0xFF);
  EXPECT_EQ(brightest, 0x80u);

  // Over a clear region the text keeps its colour and carries its coverage
  // as alpha.
  clear(0);
  ASSERT_EQ(TAP_Osd_PutS(rgn, 10, 10, 300, "Orvado", 0xFF00FF00, 0, 0, 2, 0, 0), 0);
  bool partial = false;
  for (uint32_t p : emu::regionImage(rgn).pixels) {
    if (p == 0) continue;
    EXPECT_EQ(p & 0xFFFFFF, 0x00FF00u) << std::hex << p;
    partial |= (p >> 24) > 0 && (p >> 24) < 0xFF;
  }
  EXPECT_TRUE(partial);
}

}  // namespace
