// The emulator's screen: regions and the region table, boxes, copies, saved
// boxes, the composed screen and PNG files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support/testing.h"

namespace {

class Screen : public ::testing::Test {
 protected:
  void SetUp() override { orvado_test::freshReceiver(orvado_test::virtualConfig()); }

  static uint32_t pixel(uint16_t rgn, uint32_t x, uint32_t y) {
    emu::Image img = emu::regionImage(rgn);
    return img.pixels.at(static_cast<size_t>(y) * img.width + x);
  }
  static uint32_t screenPixel(const emu::Image& s, uint32_t x, uint32_t y) { return s.pixels.at(y * s.width + x); }

  // Fills a region with a pattern in which every pixel differs.
  static void pattern(uint16_t rgn) {
    emu::Image img = emu::regionImage(rgn);
    for (uint32_t y = 0; y < img.height; ++y)
      for (uint32_t x = 0; x < img.width; ++x) TAP_Osd_FillBox(rgn, x, y, 1, 1, 0xFF000000u | y << 8 | x);
  }

  std::string tempPath(const char* name) {
    return std::string("/tmp/orvado_screen_") + std::to_string(getpid()) + name;
  }
};

TEST_F(Screen, RegionNumbersFollowTheTableThroughCreateDeleteAndExhaustion) {
  const OsdRegionInfo* table = emu::regionTable();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(TAP_Osd_Create(0, 0, 720, 576, 0, 0), 128);
  EXPECT_EQ(TAP_Osd_Create(10, 20, 30, 40, 0, OSD_Flag_WorkRegion), 129);
  EXPECT_EQ(TAP_Osd_Create(700, 500, 20, 76, 0, 0), 130);
  EXPECT_EQ(table[129].width, 30);
  EXPECT_EQ(table[129].height, 40);
  EXPECT_EQ(table[130].width, 20);
  EXPECT_EQ(table[130].height, 76);

  EXPECT_EQ(TAP_Osd_Delete(129), 0);
  EXPECT_EQ(table[129].width, 0);
  EXPECT_EQ(table[129].height, 0);
  EXPECT_NE(TAP_Osd_Delete(129), 0) << "a deleted region is gone";
  EXPECT_TRUE(emu::regionImage(129).pixels.empty());
  EXPECT_EQ(TAP_Osd_Create(1, 1, 5, 6, 0, 0), 129) << "lowest free number first";
  EXPECT_EQ(table[129].width, 5);

  int made = 3;
  while (TAP_Osd_Create(0, 0, 1, 2, 0, 0) >= 0) ++made;
  EXPECT_EQ(made, OSD_RegionTableSize - OSD_FirstRegion);
  EXPECT_EQ(TAP_Osd_Create(0, 0, 1, 1, 0, 0), -1);
  EXPECT_EQ(table[OSD_RegionTableSize - 1].height, 2);
  for (int n = 0; n < OSD_FirstRegion; ++n) EXPECT_EQ(table[n].width | table[n].height, 0) << n;
  EXPECT_EQ(TAP_Osd_Delete(200), 0);
  EXPECT_EQ(TAP_Osd_Create(0, 0, 3, 3, 0, 0), 200);

  orvado_test::freshReceiver(orvado_test::virtualConfig());
  for (int n = 0; n < OSD_RegionTableSize; ++n) EXPECT_EQ(table[n].width | table[n].height, 0) << n;
  EXPECT_EQ(TAP_Osd_Create(0, 0, 1, 1, 0, 0), 128) << "reset frees every region";
}

TEST_F(Screen, InvalidGeometryAndMissingRegionsFailAndChangeNothing) {
  EXPECT_EQ(TAP_Osd_Create(0, 0, 0, 10, 0, 0), -1);
  EXPECT_EQ(TAP_Osd_Create(0, 0, 10, 0, 0, 0), -1);
  EXPECT_EQ(TAP_Osd_Create(700, 0, 21, 10, 0, 0), -1);
  EXPECT_EQ(TAP_Osd_Create(0, 566, 10, 11, 0, 0), -1);
  EXPECT_EQ(TAP_Osd_Create(0xFFFFFFFFu, 0, 2, 2, 0, 0), -1) << "x + w wraps around";
  EXPECT_EQ(TAP_Osd_Create(0, 0, 0xFFFFFFFFu, 1, 0, 0), -1);
  for (int n = 0; n < OSD_RegionTableSize; ++n) EXPECT_EQ(emu::regionTable()[n].width, 0);

  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 8, 8, 0, 0));
  ASSERT_EQ(rgn, 128);
  TAP_Osd_FillBox(rgn, 0, 0, 8, 8, 0xFF123456);
  // The firmware's own regions and numbers beyond the table do not exist.
  for (int number : {0, 2, 127, 129, 255, 256, 1000}) {
    const auto missing = static_cast<uint16_t>(number);
    EXPECT_NE(TAP_Osd_Delete(missing), 0) << missing;
    EXPECT_NE(TAP_Osd_FillBox(missing, 0, 0, 720, 576, 0), 0) << missing;
    EXPECT_NE(TAP_Osd_Copy(missing, rgn, 0, 0, 1, 1, 0, 0, false), 0) << missing;
    EXPECT_NE(TAP_Osd_Copy(rgn, missing, 0, 0, 1, 1, 0, 0, false), 0) << missing;
    EXPECT_EQ(TAP_Osd_SaveBox(missing, 0, 0, 1, 1), nullptr) << missing;
    EXPECT_NE(TAP_Osd_PutS(missing, 0, 0, 100, "x", 0xFFFFFFFF, 0, 0, 0, 0, 0), 0) << missing;
    uint32_t one = 0;
    TAP_Osd_RestoreBox(missing, 0, 0, 1, 1, &one);
  }
  for (uint32_t p : emu::regionImage(rgn).pixels) EXPECT_EQ(p, 0xFF123456u);
  EXPECT_EQ(emu::allocCalls(), 0);
}

TEST_F(Screen, FillBoxWritesTheColourAsItIsClippedToTheRegion) {
  uint16_t rgn = uint16_t(TAP_Osd_Create(100, 100, 10, 6, 0, 0));
  EXPECT_EQ(TAP_Osd_FillBox(rgn, 0, 0, 10, 6, 0xFF0000FF), 0);
  EXPECT_EQ(TAP_Osd_FillBox(rgn, 2, 1, 3, 2, 0x40FF0000), 0);
  EXPECT_EQ(pixel(rgn, 2, 1), 0x40FF0000u) << "no blending with what lies beneath";
  EXPECT_EQ(pixel(rgn, 4, 2), 0x40FF0000u);
  EXPECT_EQ(pixel(rgn, 5, 2), 0xFF0000FFu);
  EXPECT_EQ(pixel(rgn, 2, 3), 0xFF0000FFu);

  EXPECT_EQ(TAP_Osd_FillBox(rgn, 8, 4, 100, 100, 0x11223344), 0) << "partly outside is clipped";
  EXPECT_EQ(pixel(rgn, 9, 5), 0x11223344u);
  EXPECT_EQ(pixel(rgn, 7, 5), 0xFF0000FFu);
  EXPECT_EQ(TAP_Osd_FillBox(rgn, 9, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0x55555555), 0) << "huge sizes do not wrap";
  EXPECT_EQ(pixel(rgn, 9, 0), 0x55555555u);
  EXPECT_EQ(pixel(rgn, 8, 0), 0xFF0000FFu);

  auto before = emu::regionImage(rgn).pixels;
  EXPECT_NE(TAP_Osd_FillBox(rgn, 10, 0, 1, 1, 0), 0) << "wholly right of the region";
  EXPECT_NE(TAP_Osd_FillBox(rgn, 0, 6, 1, 1, 0), 0) << "wholly below the region";
  EXPECT_NE(TAP_Osd_FillBox(rgn, 0xFFFFFFFFu, 0, 2, 1, 0), 0) << "a negative x";
  EXPECT_NE(TAP_Osd_FillBox(rgn, 0, 0, 0, 5, 0), 0) << "no pixels";
  EXPECT_EQ(emu::regionImage(rgn).pixels, before);
}

TEST_F(Screen, CopyMovesRectanglesBetweenAndWithinRegionsOverlapSafe) {
  uint16_t a = uint16_t(TAP_Osd_Create(0, 0, 16, 12, 0, 0));
  uint16_t b = uint16_t(TAP_Osd_Create(0, 0, 8, 8, 0, OSD_Flag_WorkRegion));
  pattern(a);
  auto orig = emu::regionImage(a).pixels;
  auto at = [&](uint32_t x, uint32_t y) { return orig[y * 16 + x]; };

  EXPECT_EQ(TAP_Osd_Copy(a, b, 3, 2, 5, 4, 1, 1, false), 0);
  EXPECT_EQ(pixel(b, 1, 1), at(3, 2));
  EXPECT_EQ(pixel(b, 5, 4), at(7, 5));
  EXPECT_EQ(pixel(b, 0, 0), 0u);
  EXPECT_EQ(pixel(b, 6, 1), 0u);

  // Within one region, overlapping, in both directions.
  EXPECT_EQ(TAP_Osd_Copy(a, a, 0, 0, 10, 8, 2, 1, false), 0);
  for (uint32_t y = 0; y < 8; ++y)
    for (uint32_t x = 0; x < 10; ++x) ASSERT_EQ(pixel(a, x + 2, y + 1), at(x, y)) << x << "," << y;
  auto shifted = emu::regionImage(a).pixels;
  EXPECT_EQ(TAP_Osd_Copy(a, a, 2, 1, 10, 8, 0, 0, false), 0);
  for (uint32_t y = 0; y < 8; ++y)
    for (uint32_t x = 0; x < 10; ++x) ASSERT_EQ(pixel(a, x, y), at(x, y)) << x << "," << y;

  auto beforeA = emu::regionImage(a).pixels, beforeB = emu::regionImage(b).pixels;
  EXPECT_NE(TAP_Osd_Copy(a, b, 12, 0, 5, 1, 0, 0, false), 0) << "leaves the source";
  EXPECT_NE(TAP_Osd_Copy(a, b, 0, 9, 1, 4, 0, 0, false), 0) << "leaves the source at the bottom";
  EXPECT_NE(TAP_Osd_Copy(a, b, 0, 0, 5, 5, 4, 0, false), 0) << "leaves the destination";
  EXPECT_NE(TAP_Osd_Copy(a, b, 0, 0, 5, 5, 0, 4, false), 0) << "leaves the destination at the bottom";
  EXPECT_NE(TAP_Osd_Copy(a, b, 0, 0, 0xFFFFFFFFu, 1, 1, 0, false), 0) << "wraps around";
  EXPECT_NE(TAP_Osd_Copy(a, b, 0, 0, 0, 0, 0, 0, false), 0) << "nothing to copy";
  EXPECT_EQ(emu::regionImage(a).pixels, beforeA);
  EXPECT_EQ(emu::regionImage(b).pixels, beforeB);

  // A sprite copy keeps what lies under its clear pixels.
  TAP_Osd_FillBox(b, 0, 0, 8, 8, 0);
  TAP_Osd_FillBox(b, 0, 0, 1, 1, 0xFFABCDEF);
  EXPECT_EQ(TAP_Osd_Copy(b, a, 0, 0, 2, 1, 0, 0, true), 0);
  EXPECT_EQ(pixel(a, 0, 0), 0xFFABCDEFu);
  EXPECT_EQ(pixel(a, 1, 0), at(1, 0));
}

TEST_F(Screen, SaveBoxHandsOutAPixelBlockThatRestoreBoxWritesBackClipped) {
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 12, 10, 0, 0));
  pattern(rgn);
  auto orig = emu::regionImage(rgn).pixels;
  long calls = emu::allocCalls();
  uint32_t* box = TAP_Osd_SaveBox(rgn, 2, 3, 4, 5);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(emu::allocCalls(), calls + 1);
  EXPECT_EQ(emu::liveBlocks(), 1u);
  EXPECT_EQ(emu::liveBytes(), 4u * 5 * 4);
  for (uint32_t r = 0; r < 5; ++r)
    for (uint32_t c = 0; c < 4; ++c) EXPECT_EQ(box[r * 4 + c], orig[(3 + r) * 12 + 2 + c]) << r << "," << c;

  // Written back elsewhere, with the rows keeping their stride of w where the
  // box is cut at the region's right and bottom edges.
  TAP_Osd_FillBox(rgn, 0, 0, 12, 10, 0);
  TAP_Osd_RestoreBox(rgn, 9, 7, 4, 5, box);
  EXPECT_EQ(pixel(rgn, 9, 7), box[0]);
  EXPECT_EQ(pixel(rgn, 11, 7), box[2]);
  EXPECT_EQ(pixel(rgn, 10, 9), box[2 * 4 + 1]);
  EXPECT_EQ(pixel(rgn, 8, 7), 0u);
  EXPECT_EQ(pixel(rgn, 9, 6), 0u);
  TAP_Osd_RestoreBox(rgn, 12, 0, 4, 5, box);  // wholly outside: nothing
  TAP_Osd_RestoreBox(rgn, 0, 0, 4, 5, nullptr);
  EXPECT_EQ(pixel(rgn, 0, 0), 0u);
  EXPECT_EQ(TAP_MemFree(box), 1);
  EXPECT_EQ(emu::liveBlocks(), 0u);

  calls = emu::allocCalls();
  EXPECT_EQ(TAP_Osd_SaveBox(rgn, 9, 0, 4, 1), nullptr) << "pixels outside the region cannot be saved";
  EXPECT_EQ(TAP_Osd_SaveBox(rgn, 0, 0, 0, 1), nullptr);
  EXPECT_EQ(TAP_Osd_SaveBox(rgn, 0, 0, 0xFFFFFFFFu, 2), nullptr);
  EXPECT_EQ(emu::allocCalls(), calls) << "nothing is allocated for an invalid box";
  emu::failAllocAfter(0);
  EXPECT_EQ(TAP_Osd_SaveBox(rgn, 0, 0, 2, 2), nullptr) << "allocation failure reaches the TAP";
  EXPECT_EQ(emu::liveBlocks(), 0u);
  uint32_t* again = TAP_Osd_SaveBox(rgn, 0, 0, 2, 2);
  EXPECT_NE(again, nullptr) << "a single failure is transient";
  TAP_MemFree(again);
}

TEST_F(Screen, ShownRegionsComposeInCreationOrderOverBlackWithoutWorkRegions) {
  emu::Image s = emu::screen();
  ASSERT_EQ(s.width, 720u);
  ASSERT_EQ(s.height, 576u);
  for (uint32_t p : s.pixels) ASSERT_EQ(p, 0xFF000000u);

  uint16_t low = uint16_t(TAP_Osd_Create(10, 10, 100, 100, 0, 0));  // 128
  uint16_t work = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, OSD_Flag_WorkRegion));
  TAP_Osd_FillBox(work, 0, 0, 720, 576, 0xFFFFFFFF);
  TAP_Osd_FillBox(low, 0, 0, 100, 100, 0xFFFF0000);
  uint16_t high = uint16_t(TAP_Osd_Create(50, 50, 100, 100, 0, 0));
  TAP_Osd_FillBox(high, 0, 0, 100, 100, 0xFF00FF00);
  s = emu::screen();
  EXPECT_EQ(screenPixel(s, 9, 9), 0xFF000000u) << "the work region is never shown";
  EXPECT_EQ(screenPixel(s, 10, 10), 0xFFFF0000u);
  EXPECT_EQ(screenPixel(s, 109, 49), 0xFFFF0000u);
  EXPECT_EQ(screenPixel(s, 60, 60), 0xFF00FF00u) << "the later region lies on top";
  EXPECT_EQ(screenPixel(s, 149, 149), 0xFF00FF00u);
  EXPECT_EQ(screenPixel(s, 150, 150), 0xFF000000u);

  // A region made later under a lower number still lies on top.
  TAP_Osd_Delete(low);
  uint16_t later = uint16_t(TAP_Osd_Create(40, 40, 30, 30, 0, 0));
  EXPECT_EQ(later, low);
  TAP_Osd_FillBox(later, 0, 0, 30, 30, 0xFF0000FF);
  // Half-transparent pixels blend with what lies beneath; clear ones show it.
  TAP_Osd_FillBox(later, 0, 0, 30, 20, 0x80FFFFFF);
  TAP_Osd_FillBox(later, 0, 29, 30, 1, 0x00FFFFFF);
  s = emu::screen();
  EXPECT_EQ(screenPixel(s, 60, 60), 0xFF0000FFu);
  EXPECT_EQ(screenPixel(s, 45, 45), 0xFF808080u) << "half white over black";
  EXPECT_EQ(screenPixel(s, 60, 55), 0xFF80FF80u) << "half white over green";
  EXPECT_EQ(screenPixel(s, 60, 69), 0xFF00FF00u) << "clear pixels show the region beneath";
  EXPECT_EQ(screenPixel(s, 45, 69), 0xFF000000u);
  TAP_Osd_Sync();
  TAP_Osd_Sync();
  EXPECT_EQ(emu::syncCount(), 2);
}

TEST_F(Screen, PngFilesRoundTripAndReportErrors) {
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
  TAP_Osd_FillBox(rgn, 100, 50, 200, 80, 0xFF336699);
  TAP_Osd_FillBox(rgn, 400, 300, 20, 20, 0x80FF8000);
  emu::Image shot = emu::screen();
  std::string path = tempPath("_shot.png"), error;
  ASSERT_TRUE(emu::savePng(shot, path, &error)) << error;
  emu::Image back;
  ASSERT_TRUE(emu::loadPng(path, back, &error)) << error;
  EXPECT_EQ(back.width, 720u);
  EXPECT_EQ(back.height, 576u);
  EXPECT_TRUE(back.pixels == shot.pixels);

  // Alpha survives, for any image size.
  emu::Image small;
  small.width = 3;
  small.height = 2;
  small.pixels = {0x00000000, 0x7F102030, 0xFFFFFFFF, 0x01020304, 0x80808080, 0xFE00FF00};
  ASSERT_TRUE(emu::savePng(small, path, &error)) << error;
  ASSERT_TRUE(emu::loadPng(path, back, &error)) << error;
  EXPECT_EQ(back.width, 3u);
  EXPECT_EQ(back.pixels, small.pixels);

  // Errors name the file and the reason; a failed save leaves the old file.
  emu::Image broken = small;
  broken.pixels.pop_back();
  EXPECT_FALSE(emu::savePng(broken, path, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_FALSE(emu::savePng(emu::Image{}, path, &error));
  ASSERT_TRUE(emu::loadPng(path, back, &error)) << error;
  EXPECT_EQ(back.pixels, small.pixels);
  EXPECT_FALSE(emu::savePng(small, "/nonexistent-dir/x.png", &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.png"), std::string::npos) << error;
  EXPECT_FALSE(emu::loadPng("/nonexistent-dir/x.png", back, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  { std::ofstream(path, std::ios::trunc) << "plain text, not a picture"; }
  EXPECT_FALSE(emu::loadPng(path, back, &error));
  EXPECT_NE(error.find("not a PNG"), std::string::npos) << error;

  std::remove(path.c_str());
}

TEST_F(Screen, PngFilesOfOtherPixelFormatsReadAsArgb) {
  const std::string dir = ORVADO_SOURCE_DIR "/tests/fuzz/corpus/png_load/";
  emu::Image img;
  std::string error;
  ASSERT_TRUE(emu::loadPng(dir + "rgba8_3x2", img, &error)) << error;
  EXPECT_EQ(img.pixels,
            (std::vector<uint32_t>{0xFFFF0000, 0x8000FF00, 0x000000FF, 0x04010203, 0x08050607, 0x0C090A0B}));
  ASSERT_TRUE(emu::loadPng(dir + "gray1_9x2", img, &error)) << error;
  ASSERT_EQ(img.width, 9u);
  const uint32_t W = 0xFFFFFFFF, K = 0xFF000000;
  EXPECT_EQ(img.pixels, (std::vector<uint32_t>{W, K, W, K, K, W, K, W, W, W, W, W, W, W, W, W, W, K}));
  ASSERT_TRUE(emu::loadPng(dir + "palette_trns_2x2", img, &error)) << error;
  EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0x000A141E, 0xFFC86432, 0xFFC86432, 0x000A141E}));
  EXPECT_FALSE(emu::loadPng(dir + "huge_size_claim", img, &error));
  EXPECT_FALSE(emu::loadPng(dir + "bad_ihdr_crc", img, &error));
  EXPECT_NE(error.find("CRC"), std::string::npos) << error;
}

TEST_F(Screen, TraceLinesNameTheCallItsArgumentsAndResult) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  emu::Config config = orvado_test::virtualConfig();
  config.trace = true;
  config.traceOut = out;
  orvado_test::freshReceiver(config);
  uint16_t rgn = uint16_t(TAP_Osd_Create(1, 2, 30, 40, 0, 0));
  TAP_Osd_FillBox(rgn, 0, 0, 5, 5, 0xFF00FF00);
  TAP_Osd_FillBox(7, 0, 0, 5, 5, 0);
  TAP_Osd_PutS(rgn, 0, 0, 30, "Hi \"you\"", 0xFFFFFFFF, 0, 0, 1, 0, 0);
  TAP_Osd_GetW("Hi", 0, 2);
  TAP_Osd_Delete(rgn);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  EXPECT_NE(text.find("TAP_Osd_Create(1, 2, 30, 40, 0, 0x0) = 128"), std::string::npos) << text;
  EXPECT_NE(text.find("TAP_Osd_FillBox(128, 0, 0, 5, 5, 0xFF00FF00) = 0"), std::string::npos) << text;
  EXPECT_NE(text.find("TAP_Osd_FillBox(7, 0, 0, 5, 5, 0x00000000) = -1"), std::string::npos) << text;
  EXPECT_NE(text.find("TAP_Osd_PutS(128, 0, 0, 30, \"Hi \\\"you\\\"\", 0xFFFFFFFF, 0x00000000, 0, 1, 0, 0) = 0"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("TAP_Osd_GetW(\"Hi\", 0, 2) = "), std::string::npos) << text;
  EXPECT_NE(text.find("TAP_Osd_Delete(128) = 0"), std::string::npos) << text;
}

}  // namespace
