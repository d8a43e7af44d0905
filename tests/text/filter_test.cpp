// The character filter: rule masks, the 126-byte cut, and the output bound.
#include <gtest/gtest.h>

#include <string>

#include "guarded.h"
#include "lib/text/text.h"

using namespace std::string_literals;

namespace {

std::string filtered(const std::string& src, uint32_t mask, uint32_t dstSize = 512) {
  Guarded dst(dstSize);
  ValidFileName(src.c_str(), mask, dst.data(), dstSize);
  return std::string(dst.data());
}

}  // namespace

TEST(IsLegalChar, RuleSetsByteByByte) {
  for (int c = 0; c < 256; c++) {
    char b = (char)c;
    bool control =
        (c < 0x20 && c != 0x0A) || (c >= 0x7F && c <= 0x9F && c != 0x80 && c != 0x8A && c != 0x91 && c != 0x92);
    bool lineBreak = c == 0x0A || c == 0x8A;
    bool fileName = std::string("\"*/:<>?\\|").find(b) != std::string::npos && c != 0;
    bool nonAscii = c < 0x20 || c > 0x7E;
    EXPECT_EQ(isLegalChar(&b, 1), !control) << c;
    EXPECT_EQ(isLegalChar(&b, 2), !lineBreak) << c;
    EXPECT_EQ(isLegalChar(&b, 4), !fileName) << c;
    EXPECT_EQ(isLegalChar(&b, 8), !nonAscii) << c;
    EXPECT_EQ(isLegalChar(&b, 0), 1) << c;
    EXPECT_EQ(isLegalChar(&b, 15), !(control || lineBreak || fileName || nonAscii)) << c;
  }
  for (uint32_t mask = 0; mask < 16; mask++) EXPECT_EQ(isLegalChar(nullptr, mask), 0);
}

TEST(ValidFileName, MasksOnWorkedExamples) {
  EXPECT_EQ(filtered("Line1\nLine2", 3), "Line1Line2");
  EXPECT_EQ(filtered("Line1\nLine2", 1), "Line1\nLine2");
  EXPECT_EQ(filtered("\x80\x8A\x91\x92\xA0\xFF", 1), "\x80\x8A\x91\x92\xA0\xFF");
  EXPECT_EQ(filtered("a\x7F"
                     "b\x81"
                     "c\x90"
                     "d\x93"
                     "e\x9F"
                     "f\x01",
                     1),
            "abcdef");
  EXPECT_EQ(filtered("\x80\x8A\x91", 3), "\x80\x91");
  EXPECT_EQ(filtered("\xC3\xA9 \xE2\x82\xAC", 1), "\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(filtered("a:b*c?d", 4), "abcd");
  EXPECT_EQ(filtered("a \"b/c<d>e\\f|g.h", 4), "a bcdefg.h");
  EXPECT_EQ(filtered("G\xC3\xBCr\xC3\x9F"
                     "e",
                     8),
            "Gre");
  std::string all;
  for (int c = 1; c < 100; c++) all += (char)c;
  EXPECT_EQ(filtered(all, 0), all);
}

// A rejected lead byte goes alone; its continuation bytes are judged on
// their own and pass or fail by their own value.
TEST(ValidFileName, RejectedLeadByteLeavesTailToBeJudged) {
  EXPECT_EQ(filtered("x\xC3\xA9y", 8), "xy");
  EXPECT_EQ(filtered("x\xC3\x85y", 8), "xy");
}

TEST(ValidFileName, CutAt126WithoutSplittingACharacter) {
  std::string letters(200, 'a');
  EXPECT_EQ(filtered(letters, 3), std::string(126, 'a'));
  std::string euro = std::string(124, 'b') + "\xE2\x82\xAC" + "ccc";
  EXPECT_EQ(filtered(euro, 3), std::string(124, 'b') + "\xE2\x82\xAC");
  std::string emoji = std::string(125, 'b') + "\xF0\x9F\x98\x80" + "ccc";
  EXPECT_EQ(filtered(emoji, 0).size(), 129u);
  // Rejected bytes do not count towards the cut.
  std::string mixed;
  for (int i = 0; i < 150; i++) mixed += "a\x01";
  EXPECT_EQ(filtered(mixed, 1), std::string(126, 'a'));
}

TEST(ValidFileName, EmptyResults) {
  char dst[8] = "xxxxxxx";
  EXPECT_EQ(ValidFileName(nullptr, 1, dst, 8), dst);
  EXPECT_STREQ(dst, "");
  std::strcpy(dst, "xxxxxxx");
  EXPECT_EQ(ValidFileName("", 1, dst, 8), dst);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(ValidFileName("abc", 1, nullptr, 8), nullptr);
  // A source that does not fit gives the empty string, not a cut copy.
  std::strcpy(dst, "xxxxxxx");
  EXPECT_EQ(ValidFileName("abcdefgh", 0, dst, 8), dst);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(filtered("abcdefg", 0, 8), "abcdefg");
  // dstSize 0: nothing at all is written.
  char untouched = 'q';
  EXPECT_EQ(ValidFileName("abc", 0, &untouched, 0), &untouched);
  EXPECT_EQ(untouched, 'q');
}

// The output never reaches past dstSize: the buffer ends a page, for every
// size from 1 to 140 and sources that straddle the 126 mark with multi-byte
// characters.
TEST(ValidFileName, NeverWritesPastDstSize) {
  const std::string sources[] = {
      std::string(124, 'b') + "\xE2\x82\xAC" + "ccc",
      std::string(125, 'b') + "\xF0\x9F\x98\x80" + "ccc",
      std::string(60, 'x') + std::string(40, '\x01') + "\xC3\xA9\xC3\xA9",
      "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
  };
  for (const std::string& src : sources) {
    for (uint32_t size = 1; size <= 140; size++) {
      Guarded dst(size);
      ValidFileName(src.c_str(), 1, dst.data(), size);
      size_t len = strnlen(dst.data(), size);
      ASSERT_LT(len, size);
      if (src.size() >= size)
        EXPECT_EQ(len, 0u) << size;
      else
        EXPECT_EQ(std::string(dst.data()), filtered(src, 1)) << size;
    }
  }
}

TEST(MakeValidFileName, InPlaceUpTo511Bytes) {
  std::string text511(511, 'a');
  text511[3] = '\x01';
  std::string buf = text511;
  MakeValidFileName(buf.data(), 1);
  EXPECT_EQ(std::string(buf.c_str()), std::string(126, 'a'));

  std::string text512(512, 'a');
  MakeValidFileName(text512.data(), 0);
  EXPECT_EQ(std::string(text512.c_str()), "");

  char name[] = "A:B\nC";
  MakeValidFileName(name, 7);
  EXPECT_STREQ(name, "ABC");
  MakeValidFileName(nullptr, 7);
}
