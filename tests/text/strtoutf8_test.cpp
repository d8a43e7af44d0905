// Broadcast text to UTF-8: the code tables against glibc iconv, selectors,
// ISO 6937 with and without composition, and texts that end early.
#include <gtest/gtest.h>
#include <iconv.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "guarded.h"
#include "lib/text/tables.h"
#include "lib/text/text.h"
#include "support/testing.h"

using namespace std::string_literals;

namespace {

struct Converted {
  std::string out;  // up to the first zero byte
  int result;
};

Converted convert(const std::string& src, uint32_t number) {
  std::vector<char> dst(src.size() * 3 + 1, '\x5A');
  int r = StrToUTF8(src.c_str(), dst.data(), number);
  return {std::string(dst.data()), r};
}

// iconv's UTF-8 for one byte of the character set `name`, or "" when it has none.
std::string iconvByte(const std::string& name, uint8_t byte) {
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == (iconv_t)-1) {
    ADD_FAILURE() << "iconv lacks " << name;
    return "";
  }
  char in[1] = {(char)byte}, out[8];
  char *ip = in, *op = out;
  size_t il = 1, ol = sizeof(out);
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  return r == (size_t)-1 ? "" : std::string(out, op - out);
}

}  // namespace

// Every byte 0xA0..0xFF of every ISO 8859 part, against glibc iconv. The only
// differences allowed: a position iconv has not gives a zero byte, and part 7
// follows 1987 (no euro, drachma or ypogegrammeni).
TEST(StrToUTF8, IsoTablesMatchIconv) {
  for (int part : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16}) {
    int unassigned = 0;
    for (int b = 0xA0; b <= 0xFF; b++) {
      std::string expected = iconvByte("ISO-8859-" + std::to_string(part), (uint8_t)b);
      if (part == 7 && (b == 0xA4 || b == 0xA5 || b == 0xAA)) {
        EXPECT_FALSE(expected.empty()) << "iconv's part 7 is expected to be the 2003 edition";
        expected = "";
      }
      if (expected.empty()) unassigned++;
      std::string src = "a"s + (char)b + "z";
      std::vector<char> dst(10, '\x5A');
      EXPECT_EQ(StrToUTF8(src.c_str(), dst.data(), part), 1);
      // An unassigned position writes one zero byte and goes on behind it.
      std::string got(dst.data(), dst.data() + 1 + std::max<size_t>(expected.size(), 1) + 1);
      std::string want = "a" + (expected.empty() ? "\0"s : expected) + "z";
      EXPECT_EQ(got, want) << "ISO 8859-" << part << " byte 0x" << std::hex << b;
      EXPECT_EQ(dst[want.size()], '\0');
    }
    EXPECT_LT(unassigned, 96) << part;
  }
}

TEST(StrToUTF8, SelectorsChooseTheTableOverTheCallers) {
  EXPECT_EQ(convert("H\xE9", 9).out, "H\xC3\xA9");
  EXPECT_EQ(convert("H\xE9", 9).result, 1);
  EXPECT_EQ(convert("H\xE9", 1).out, "H\xC3\xA9");
  EXPECT_EQ(convert("H\xE9", 5).out, "H\xD1\x89");
  for (uint32_t caller : {0u, 1u, 5u, 9u, 200u}) {
    EXPECT_EQ(convert("\x05H\xE9", caller).out, "H\xC3\xA9") << caller;
    EXPECT_EQ(convert("\x10\x00\x02\xB1"s, caller).out, "\xC4\x85") << caller;
  }
  // 0x01..0x0B give parts 5..15; every other one-byte selector keeps the caller's.
  for (int sel = 0x01; sel <= 0x0B; sel++)
    EXPECT_EQ(convert(std::string(1, (char)sel) + "\xE9", 1).out, convert("\xE9", sel + 4).out) << sel;
  for (int sel : {0x0C, 0x0F, 0x11, 0x14, 0x16, 0x1E})
    EXPECT_EQ(convert(std::string(1, (char)sel) + "\xE9", 5).out, "\xD1\x89") << sel;
  EXPECT_EQ(convert("\x1F\x05\xE9", 5).out, "\xD1\x89");
  // The byte behind a selector is text, not a second selector.
  EXPECT_EQ(convert("\x05\x05"
                    "a",
                    9)
                .out,
            "\x05"
            "a");
  // A 0x10 selector with a number outside 1..16 (or 12) reads ISO 6937, uncomposed.
  EXPECT_EQ(convert("\x10\x00\x11\xC2"
                    "e"s,
                    9)
                .out,
            "\xCC\x81"
            "e");
}

TEST(StrToUTF8, UTF8BySelectorIsCopiedUnchanged) {
  Converted c = convert("\x15\xC3\xA9\xE9\x8A\x01", 9);
  EXPECT_EQ(c.out, "\xC3\xA9\xE9\x8A\x01");
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(convert("\x15", 9).result, 0);
}

TEST(StrToUTF8, ValidUtf8AndControlCodesPassThrough) {
  Converted c = convert("H\xC3\xA9", 9);
  EXPECT_EQ(c.out, "H\xC3\xA9");
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(convert("\x8A", 1).out, "\xC2\x8A");
  EXPECT_EQ(convert("\x86x\x87", 1).out, "\xC2\x86x\xC2\x87");
  Converted ascii = convert("A", 1);
  EXPECT_EQ(ascii.out, "A");
  EXPECT_EQ(ascii.result, 0);
  // UTF-8 mixed with table bytes: each is taken as what it is.
  EXPECT_EQ(convert("\xE2\x82\xAC \xA4", 15).out, "\xE2\x82\xAC \xE2\x82\xAC");
}

TEST(StrToUTF8, EmptyNullAndSelectorOnly) {
  Converted e = convert("", 9);
  EXPECT_EQ(e.out, "");
  EXPECT_EQ(e.result, 1);
  Converted s = convert("\x05", 9);
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.result, 0);
  char dst[4] = "xyz";
  EXPECT_EQ(StrToUTF8(nullptr, dst, 9), 0);
  EXPECT_STREQ(dst, "xyz");
  EXPECT_EQ(StrToUTF8("a", nullptr, 9), 0);
}

TEST(StrToUTF8, UnassignedPositionEndsTheString) {
  EXPECT_EQ(convert("ab\xA4"
                    "cd",
                    7)
                .out,
            "ab");
  EXPECT_EQ(convert("\xA6", 0).out, "");
}

TEST(StrToUTF8, Iso6937WithoutComposition) {
  EXPECT_EQ(convert("\x08\xC2"
                    "e",
                    9)
                .out,
            "\xCC\x81"
            "e");  // selector 08 gives number 12
  EXPECT_EQ(convert("\xC2"
                    "e",
                    12)
                .out,
            "\xCC\x81"
            "e");
  EXPECT_EQ(convert("\xC8"
                    "y",
                    255)
                .out,
            "\xCC\x88"
            "y");
  EXPECT_EQ(convert("\xA4\xF3\xB4", 0).out, "\xE2\x82\xAC\xCE\xB4\xC3\x97");
  EXPECT_EQ(convert("\xA4\xF3\xB4", 17).out, "\xE2\x82\xAC\xCE\xB4\xC3\x97");
}

// The ISO 6937 table against glibc's ISO_6937, byte by byte outside the marks.
// Where broadcast use departs from it, the table holds: the euro sign at 0xA4,
// U+2015 at 0xD0, U+0110 at 0xE2 and U+03B4 at 0xF3. The marks 0xC1..0xCF,
// which glibc has only with a letter behind them, are combining marks.
TEST(StrToUTF8, Iso6937TableMatchesIconv) {
  const std::map<int, uint32_t> departures = {{0xA4, 0x20AC}, {0xD0, 0x2015}, {0xE2, 0x0110}, {0xF3, 0x03B4}};
  for (int b = 0xA0; b <= 0xFF; b++) {
    if (b >= 0xC0 && b <= 0xCF) continue;
    std::string expected = iconvByte("ISO_6937", (uint8_t)b);
    auto d = departures.find(b);
    if (d != departures.end()) {
      char utf8[5] = {};
      UTF32ToUTF8(d->second, utf8, nullptr);
      EXPECT_NE(expected, utf8) << "glibc now agrees at 0x" << std::hex << b;
      expected = utf8;
    }
    EXPECT_EQ(convert(std::string(1, (char)b), 12).out, expected) << "byte 0x" << std::hex << b;
  }
  const uint32_t marks[16] = {0,      0x0300, 0x0301, 0x0302, 0x0303, 0x0304, 0x0306, 0x0307,
                              0x0308, 0,      0x030A, 0x0327, 0,      0x030B, 0x0328, 0x030C};
  for (int i = 0; i < 16; i++) {
    char utf8[5] = {};
    if (marks[i]) UTF32ToUTF8(marks[i], utf8, nullptr);
    EXPECT_EQ(convert(std::string(1, (char)(0xC0 + i)) + "x", 12).out, marks[i] ? std::string(utf8) + "x" : "")
        << "mark 0x" << std::hex << 0xC0 + i;
  }
}

// The composition list: each mark with its letters and results, written here
// grouped by mark as the list's documentation gives it.
TEST(StrToUTF8, CompositionListIsComplete) {
  struct Group {
    uint8_t mark;
    const char* letters;
    std::vector<uint32_t> results;
  };
  const Group groups[] = {
      {0xC1, "AEIOUaeiou", {0xC0, 0xC8, 0xCC, 0xD2, 0xD9, 0xE0, 0xE8, 0xEC, 0xF2, 0xF9}},
      {0xC2, "AEIOUYaeiouy", {0xC1, 0xC9, 0xCD, 0xD3, 0xDA, 0xDD, 0xE1, 0xE9, 0xED, 0xF3, 0xFA, 0xFD}},
      {0xC3, "AEIOUaeiou", {0xC2, 0xCA, 0xCE, 0xD4, 0xDB, 0xE2, 0xEA, 0xEE, 0xF4, 0xFB}},
      {0xC4, "ANOano", {0xC3, 0xD1, 0xD5, 0xE3, 0xF1, 0xF5}},
      {0xC8, "AEIOUaeiouy", {0xC4, 0xCB, 0xCF, 0xD6, 0xDC, 0xE4, 0xEB, 0xEF, 0xF6, 0xFC, 0xFF}},
      {0xCA, "Aa", {0xC5, 0xE5}},
      {0xCB, "Cc", {0xC7, 0xE7}},
  };
  int total = 0;
  for (const Group& g : groups) {
    for (size_t i = 0; g.letters[i]; i++, total++) {
      char expected[4] = {};
      UTF32ToUTF8(g.results[i], expected, nullptr);
      std::string src = {(char)g.mark, g.letters[i]};
      Converted c = convert(src, 0);
      EXPECT_EQ(c.out, expected) << std::hex << (int)g.mark << " " << g.letters[i];
      EXPECT_EQ(c.result, 1);
    }
  }
  EXPECT_EQ(total, ISO6937_CompositionCount);
  // The stored list: entries of mark, letter, space; the last without space.
  const std::string keys = ISO6937_CompositionKeys;
  ASSERT_EQ(keys.size(), 3u * ISO6937_CompositionCount - 1);
  EXPECT_EQ(keys.substr(0, 6),
            "\xC1"
            "A \xC2"
            "A ");
  EXPECT_EQ(keys.substr(keys.size() - 5),
            "\xC2"
            "y \xC8"
            "y");
  for (size_t i = 2; i < keys.size(); i += 3) EXPECT_EQ(keys[i], ' ');
}

class StrToUTF8Log : public ::testing::Test {
 protected:
  void SetUp() override {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    orvado_test::takeConsoleLines();
  }
  static void expectIgnoredLine(const std::string& line, const char* pair) {
    std::regex pattern("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  ZINDRA - StrToUTF8: ISO6937 diacritical char " +
                       std::string(pair) + " has been ignored");
    EXPECT_TRUE(std::regex_match(line, pattern)) << line;
  }
};

TEST_F(StrToUTF8Log, CompositionFoundAndNotFound) {
  Converted found = convert(
      "\xC2"
      "e\xC8"
      "y",
      0);
  EXPECT_EQ(found.out, "\xC3\xA9\xC3\xBF");
  EXPECT_TRUE(orvado_test::takeConsoleLines().empty());

  // Acute c is not in the list: mark and letter go, the log says so, and the
  // next byte is converted normally.
  Converted missing = convert(
      "x\xC2"
      "c\xA4",
      0);
  EXPECT_EQ(missing.out, "x\xE2\x82\xAC");
  EXPECT_EQ(missing.result, 1);
  std::vector<std::string> lines = orvado_test::takeConsoleLines();
  ASSERT_EQ(lines.size(), 1u);
  expectIgnoredLine(lines[0], "c2 63");

  // A mark before a byte that is no letter of the list.
  EXPECT_EQ(convert("\xC5"
                    "a\xCF"
                    "Z",
                    0)
                .out,
            "");
  lines = orvado_test::takeConsoleLines();
  ASSERT_EQ(lines.size(), 2u);
  expectIgnoredLine(lines[0], "c5 61");
  expectIgnoredLine(lines[1], "cf 5a");
}

// A mark as the last byte in composition mode: dropped and logged with its
// (missing) partner 00; nothing behind the terminator is read.
TEST_F(StrToUTF8Log, LoneMarkAtTheEndStopsAtTheTerminator) {
  Guarded src("ab\xC2\0"s);
  std::vector<char> dst(16, '\x5A');
  EXPECT_EQ(StrToUTF8(src.data(), dst.data(), 0), 1);
  EXPECT_STREQ(dst.data(), "ab");
  std::vector<std::string> lines = orvado_test::takeConsoleLines();
  ASSERT_EQ(lines.size(), 1u);
  expectIgnoredLine(lines[0], "c2 00");
}

// A text that ends inside its selector converts to an empty string, and no
// byte behind the terminator is read.
TEST(StrToUTF8, SelectorCutShortStopsAtTheTerminator) {
  for (const std::string& bytes : {"\x10\x05\0"s, "\x10\0\0"s, "\x1F\0"s, "\x05\0"s}) {
    Guarded src(bytes);
    char dst[16];
    std::memset(dst, 0x5A, sizeof(dst));
    EXPECT_EQ(StrToUTF8(src.data(), dst, 9), 0);
    EXPECT_EQ(dst[0], '\0');
  }
  // What lies behind the terminator is not converted.
  EXPECT_EQ(convert("\x1F\0"
                    "abc"s,
                    9)
                .out,
            "");
}

TEST(StrToUTF8, WorstCaseOutputFitsThreeBytesPerSourceByte) {
  std::string src(200, '\xAC');  // ISO 6937 0xAC is U+2190, three bytes each
  Guarded dst(src.size() * 3 + 1);
  StrToUTF8(src.c_str(), dst.data(), 12);
  EXPECT_EQ(std::strlen(dst.data()), src.size() * 3);
}
