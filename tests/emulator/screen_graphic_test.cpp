// TAP_Osd_PutGd with hand-made graphic records: raw and run-length pixels,
// clear pixels, early ends and clipping.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "emulator/core/emulator.h"
#include "support/testing.h"

namespace {

constexpr uint16_t kRed = 0x8000 | 31 << 10;      // opaque red
constexpr uint16_t kGreen = 0x8000 | 31 << 5;     // opaque green
constexpr uint16_t kDim = 0x8000 | 1 << 10 | 16;  // red 1, blue 16
constexpr uint16_t kClear = 0x7FFF;               // alpha bit clear: transparent

void put(std::vector<uint8_t>& s, uint16_t px) {
  s.push_back(static_cast<uint8_t>(px));
  s.push_back(static_cast<uint8_t>(px >> 8));
}

TYPE_GrData record(const std::vector<uint8_t>& stream, uint16_t w, uint16_t h, uint8_t packing = 2) {
  TYPE_GrData gd{};
  gd.version = 1;
  gd.compressMethod = packing;
  gd.data = stream.data();
  gd.size = uint32_t{w} * h * 2;
  gd.width = w;
  gd.height = h;
  return gd;
}

// A 4 x 3 picture: a literal block of 3, a repeat of 6 across a row end, a
// repeat of clear pixels and a literal block of 1.
std::vector<uint8_t> sampleStream() {
  std::vector<uint8_t> s;
  s.push_back(0x02);
  put(s, kRed);
  put(s, kGreen);
  put(s, kDim);
  s.push_back(0x80 + 5);  // 6 repeats
  put(s, kGreen);
  s.push_back(0x80 + 1);  // 2 repeats
  put(s, kClear);
  s.push_back(0x00);
  put(s, kRed);
  return s;
}

class Graphic : public ::testing::Test {
 protected:
  void SetUp() override { orvado_test::freshReceiver(orvado_test::virtualConfig()); }
  static uint32_t pixel(uint16_t rgn, uint32_t x, uint32_t y) {
    emu::Image img = emu::regionImage(rgn);
    return img.pixels.at(static_cast<size_t>(y) * img.width + x);
  }
};

constexpr uint32_t R = 0xFFFF0000, G = 0xFF00FF00, D = 0xFF080084, B = 0xFF0000FF;

TEST_F(Graphic, UnpacksLiteralAndRepeatBlocksAcrossRowEndsKeepingClearPixels) {
  EXPECT_EQ(emu::argbFrom1555(kDim), D) << "5-bit channels widen as (v << 3) | (v >> 2)";
  EXPECT_EQ(emu::argbFrom1555(0xFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(emu::argbFrom1555(kClear), 0u);

  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 10, 10, 0, 0));
  TAP_Osd_FillBox(rgn, 0, 0, 10, 10, B);
  auto stream = sampleStream();
  TYPE_GrData gd = record(stream, 4, 3);
  EXPECT_EQ(TAP_Osd_PutGd(rgn, 2, 1, &gd, false), 0);
  const uint32_t want[3][4] = {{R, G, D, G}, {G, G, G, G}, {G, B, B, R}};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(pixel(rgn, 2 + x, 1 + y), want[y][x]) << x << "," << y;
  EXPECT_EQ(pixel(rgn, 1, 1), B);
  EXPECT_EQ(pixel(rgn, 6, 1), B);
  EXPECT_EQ(pixel(rgn, 2, 4), B);

  // The same picture unpacked raw.
  std::vector<uint8_t> raw;
  for (uint16_t p : {kRed, kGreen, kDim, kGreen, kGreen, kGreen, kGreen, kGreen, kGreen, kClear, kClear, kRed})
    put(raw, p);
  TAP_Osd_FillBox(rgn, 0, 0, 10, 10, B);
  TYPE_GrData rawGd = record(raw, 4, 3, 0);
  EXPECT_EQ(TAP_Osd_PutGd(rgn, 2, 1, &rawGd, false), 0);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(pixel(rgn, 2 + x, 1 + y), want[y][x]) << x << "," << y;

  // A repeat block longer than the picture stops at its end.
  std::vector<uint8_t> over = {0xFF};
  put(over, kRed);
  bool complete = false;
  auto pixels = emu::unpackGraphic(record(over, 3, 2), over.data(), over.size(), &complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(pixels, std::vector<uint32_t>(6, R));
}

TEST_F(Graphic, AStreamThatEndsEarlyLeavesTheRestClear) {
  auto stream = sampleStream();
  bool complete = false;
  auto whole = emu::unpackGraphic(record(stream, 4, 3), stream.data(), stream.size(), &complete);
  EXPECT_TRUE(complete);
  // Bytes of the stream kept -> pixels that come out of them.
  const std::pair<size_t, size_t> cuts[] = {{0, 0}, {1, 0}, {4, 1}, {7, 3}, {8, 3}, {10, 9}, {15, 11}};
  for (auto [cut, good] : cuts) {
    auto pixels = emu::unpackGraphic(record(stream, 4, 3), stream.data(), cut, &complete);
    EXPECT_FALSE(complete) << cut;
    ASSERT_EQ(pixels.size(), 12u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(pixels[i], i < good ? whole[i] : 0u) << "cut " << cut << " pixel " << i;
  }

  // Through the TAP interface the stream has no length: one that runs into
  // memory that is not there is cut at its end instead of crashing.
  long page = sysconf(_SC_PAGESIZE);
  auto* mem =
      static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  uint8_t* tail = mem + page - 5;
  tail[0] = 0x80 + 3;  // 4 red
  tail[1] = kRed & 0xFF;
  tail[2] = kRed >> 8;
  tail[3] = 0x05;  // 6 literal pixels, of which half of one is there
  tail[4] = kGreen & 0xFF;
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 8, 8, 0, 0));
  TAP_Osd_FillBox(rgn, 0, 0, 8, 8, B);
  TYPE_GrData gd{1, 0, 0, 2, tail, 2 * 8 * 8, 8, 8};
  EXPECT_EQ(TAP_Osd_PutGd(rgn, 0, 0, &gd, false), 0);
  for (uint32_t x = 0; x < 8; ++x) EXPECT_EQ(pixel(rgn, x, 0), x < 4 ? R : B) << x;
  EXPECT_EQ(pixel(rgn, 7, 7), B);
  munmap(mem, 2 * page);
}

TEST_F(Graphic, PicturesAreClippedToTheRegionAndBadRecordsFail) {
  uint16_t rgn = uint16_t(TAP_Osd_Create(100, 100, 6, 5, 0, 0));
  std::vector<uint8_t> s;  // 4 x 3 picture, each pixel its own colour
  s.push_back(11);
  for (uint16_t i = 0; i < 12; ++i) put(s, static_cast<uint16_t>(0x8000 | i));
  TYPE_GrData gd = record(s, 4, 3);
  auto colour = [](uint32_t i) { return emu::argbFrom1555(static_cast<uint16_t>(0x8000 | i)); };

  EXPECT_EQ(TAP_Osd_PutGd(rgn, -2, -1, &gd, false), 0);
  EXPECT_EQ(pixel(rgn, 0, 0), colour(1 * 4 + 2));
  EXPECT_EQ(pixel(rgn, 1, 1), colour(2 * 4 + 3));
  EXPECT_EQ(pixel(rgn, 2, 0), 0u);
  EXPECT_EQ(pixel(rgn, 0, 2), 0u);

  TAP_Osd_FillBox(rgn, 0, 0, 6, 5, 0);
  EXPECT_EQ(TAP_Osd_PutGd(rgn, 4, 3, &gd, false), 0);
  EXPECT_EQ(pixel(rgn, 4, 3), colour(0));
  EXPECT_EQ(pixel(rgn, 5, 4), colour(5));
  EXPECT_EQ(pixel(rgn, 3, 3), 0u);
  EXPECT_EQ(pixel(rgn, 4, 2), 0u) << "nothing wraps into the row above or the next row";
  EXPECT_EQ(pixel(rgn, 0, 4), 0u);

  auto before = emu::regionImage(rgn).pixels;
  EXPECT_NE(TAP_Osd_PutGd(rgn, 6, 0, &gd, false), 0) << "wholly right of the region";
  EXPECT_NE(TAP_Osd_PutGd(rgn, 0, 5, &gd, false), 0) << "wholly below";
  EXPECT_NE(TAP_Osd_PutGd(rgn, -4, 0, &gd, false), 0) << "wholly left";
  EXPECT_NE(TAP_Osd_PutGd(rgn, 0, 0, nullptr, false), 0);
  EXPECT_NE(TAP_Osd_PutGd(static_cast<uint16_t>(rgn + 1), 0, 0, &gd, false), 0);
  TYPE_GrData bad = gd;
  bad.dataFormat = 1;
  EXPECT_NE(TAP_Osd_PutGd(rgn, 0, 0, &bad, false), 0) << "unknown data format";
  bad = gd;
  bad.compressMethod = 1;
  EXPECT_NE(TAP_Osd_PutGd(rgn, 0, 0, &bad, false), 0) << "unknown packing";
  bad = gd;
  bad.data = nullptr;
  EXPECT_NE(TAP_Osd_PutGd(rgn, 0, 0, &bad, false), 0);
  EXPECT_EQ(emu::regionImage(rgn).pixels, before);
}

}  // namespace
