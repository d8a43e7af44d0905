// UTF-8 primitives: the multi-byte rule, decoding and encoding, character-table
// bytes, counting and positions, and the encoding flags.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "guarded.h"
#include "lib/text/text.h"

using namespace std::string_literals;

namespace {

int lengthOf(const std::string& bytes, uint32_t* cp = nullptr) {
  uint8_t len = 0, len2 = 0;
  int multi = isUTF8Char(bytes.c_str(), &len);
  uint32_t value = UTF8ToUTF32(bytes.c_str(), &len2);
  EXPECT_EQ(len, len2) << "isUTF8Char and UTF8ToUTF32 disagree";
  EXPECT_EQ(multi, len > 1 ? 1 : 0);
  if (cp) *cp = value;
  return len;
}

}  // namespace

TEST(Utf8Char, MultiByteRuleAndDecoding) {
  uint32_t cp = 0;
  EXPECT_EQ(lengthOf("\xC3\xA9", &cp), 2);
  EXPECT_EQ(cp, 0xE9u);
  EXPECT_EQ(lengthOf("\xE9", &cp), 1);  // Latin-1 reading of a lone 8-bit byte
  EXPECT_EQ(cp, 0xE9u);
  EXPECT_EQ(lengthOf("\xE9z", &cp), 1);
  EXPECT_EQ(lengthOf("\xE2\x82\xAC", &cp), 3);
  EXPECT_EQ(cp, 0x20ACu);
  EXPECT_EQ(lengthOf("\xF0\x9F\x98\x80", &cp), 4);
  EXPECT_EQ(cp, 0x1F600u);
  // No further checks: overlong, surrogate and beyond-range forms count.
  EXPECT_EQ(lengthOf("\xC0\x80", &cp), 2);
  EXPECT_EQ(cp, 0u);
  EXPECT_EQ(lengthOf("\xF7\xBF\xBF\xBF", &cp), 4);
  EXPECT_EQ(cp, 0x1FFFFFu);
  EXPECT_EQ(lengthOf("\xED\xA0\x80"), 3);
  // Leads outside C0..F7, stray continuations, and broken sequences are one byte.
  EXPECT_EQ(lengthOf("\xF8\x80\x80\x80"), 1);
  EXPECT_EQ(lengthOf("\x80\x80"), 1);
  EXPECT_EQ(lengthOf("\xE2\x82z"), 1);
  EXPECT_EQ(lengthOf("\xF0\x9F\x98z"), 1);
  EXPECT_EQ(lengthOf("A", &cp), 1);
  EXPECT_EQ(cp, 0x41u);
}

TEST(Utf8Char, NullPointersAndOptionalLengths) {
  uint8_t len = 9;
  EXPECT_EQ(isUTF8Char(nullptr, &len), 0);
  EXPECT_EQ(len, 1);
  len = 9;
  EXPECT_EQ(UTF8ToUTF32(nullptr, &len), 0u);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(isUTF8Char("\xC3\xA9", nullptr), 1);
  EXPECT_EQ(UTF8ToUTF32("\xC3\xA9", nullptr), 0xE9u);
  EXPECT_EQ(UTF32ToUTF8(0x1F600, nullptr, nullptr), 4);
}

TEST(Utf8Char, SequenceCutByTerminatorReadsNothingBehindIt) {
  // E2 82 and the terminator end a page: the test stops at the terminator.
  Guarded text("\xE2\x82\0"s);
  EXPECT_EQ(isUTF8Char(text.data(), nullptr), 0);
  EXPECT_EQ(strlenUC(text.data()), 2);
  Guarded lead("\xF0\0"s);
  EXPECT_EQ(UTF8ToUTF32(lead.data(), nullptr), 0xF0u);
}

TEST(Utf8Encode, WorkedExamples) {
  char out[4];
  uint8_t len = 0;
  EXPECT_EQ(UTF32ToUTF8(0x20AC, out, &len), 3);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(std::string(out, 3), "\xE2\x82\xAC");
  EXPECT_EQ(UTF32ToUTF8(0x1F600, out, &len), 4);
  EXPECT_EQ(std::string(out, 4), "\xF0\x9F\x98\x80");
  EXPECT_EQ(UTF32ToUTF8(0xC4, out, &len), 2);
  EXPECT_EQ(std::string(out, 2), "\xC3\x84");
  EXPECT_EQ(UTF32ToUTF8(0, out, &len), 1);  // unassigned table positions rely on this
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(len, 1);
}

// Every code point up to U+10FFFF: our encoder against glibc's, and our decoder
// back to the same value and length (surrogates, which iconv refuses, only
// round-trip).
TEST(Utf8Encode, AllCodePointsMatchIconvAndRoundTrip) {
  std::vector<uint32_t> scalars;
  for (uint32_t cp = 1; cp <= 0x10FFFF; cp++)
    if (cp < 0xD800 || cp > 0xDFFF) scalars.push_back(cp);
  std::string reference(scalars.size() * 4, '\0');
  iconv_t cd = iconv_open("UTF-8", "UTF-32LE");
  ASSERT_NE(cd, (iconv_t)-1);
  char* in = (char*)scalars.data();
  size_t inLeft = scalars.size() * 4, outLeft = reference.size();
  char* outp = reference.data();
  ASSERT_NE(iconv(cd, &in, &inLeft, &outp, &outLeft), (size_t)-1);
  iconv_close(cd);
  reference.resize(reference.size() - outLeft);

  size_t at = 0, mismatches = 0;
  for (uint32_t cp = 0; cp <= 0x10FFFF; cp++) {
    char buf[5] = {};
    uint8_t len = 0;
    int n = UTF32ToUTF8(cp, buf, &len);
    ASSERT_EQ(n, len);
    ASSERT_EQ(n, cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4) << std::hex << cp;
    if (cp != 0 && (cp < 0xD800 || cp > 0xDFFF)) {
      if (reference.compare(at, n, buf, n) != 0 && mismatches++ < 5) ADD_FAILURE() << "U+" << std::hex << cp;
      at += n;
    }
    uint8_t back = 0;
    uint32_t decoded = UTF8ToUTF32(buf, &back);
    if ((decoded != cp || back != n) && mismatches++ < 5) ADD_FAILURE() << "round trip U+" << std::hex << cp;
  }
  EXPECT_EQ(at, reference.size());
  EXPECT_EQ(mismatches, 0u);
}

TEST(CharTableBytes, SkipByFirstByte) {
  auto skipped = [](const std::string& bytes) { return (int)(SkipCharTableBytes(bytes.c_str()) - bytes.c_str()); };
  EXPECT_EQ(skipped("\x10\x00\x05x"s), 3);
  EXPECT_EQ(skipped("\x1F\x01x"), 2);
  EXPECT_EQ(skipped("\x05x"), 1);
  EXPECT_EQ(skipped("\x01x"), 1);
  EXPECT_EQ(skipped("\x1Ex"), 1);
  EXPECT_EQ(skipped("\x15x"), 1);
  EXPECT_EQ(skipped(" x"), 0);
  EXPECT_EQ(skipped("\xE9x"), 0);
  EXPECT_EQ(skipped(""), 0);
  EXPECT_EQ(SkipCharTableBytes(nullptr), nullptr);
  // Only the first byte is a selector.
  EXPECT_EQ(strlenUC("a\x05"
                     "b"),
            3);
  EXPECT_EQ(strlenUC("\x05\x05"
                     "b"),
            2);
  EXPECT_EQ(strlenUC("\n"), 0);  // a lone line feed is taken as a selector
}

// A text that ends inside its selector: every procedure stops at the
// terminator, and the text counts as empty. (The 0x00 behind 0x10 is the
// table number's high byte, so there the terminator can only be the third.)
TEST(CharTableBytes, SelectorCutShortNeverReadsPastTerminator) {
  for (const std::string& bytes : {"\x10\x05\0"s, "\x10\0\0"s, "\x1F\0"s}) {
    Guarded text(bytes);
    const char* t = text.data();
    EXPECT_EQ(SkipCharTableBytes(t), t + bytes.size() - 1);
    EXPECT_EQ(strlenUC(t), 0);
    EXPECT_EQ(GetUCPos(t, 3), t + bytes.size() - 1);
    int eight = -1, utf8 = -1;
    GetStringEncoding(t, &eight, &utf8);
    EXPECT_EQ(eight, 0);
    EXPECT_EQ(utf8, 0);
    DeleteAt(text.data(), 0, 1);
    EXPECT_EQ(std::string(t, bytes.size()), bytes);
  }
  // The bytes behind the terminator are not taken as text.
  EXPECT_EQ(strlenUC("\x10\x05\0"
                     "abc"),
            0);
  EXPECT_EQ(strlenUC("\x1F\0"
                     "abc"),
            0);
}

TEST(Positions, CountAndGetUCPos) {
  EXPECT_EQ(strlenUC("\x05"
                     "abc"),
            3);
  EXPECT_EQ(strlenUC("a\xC3\xA9"
                     "b\xE9"),
            4);
  EXPECT_EQ(strlenUC(""), 0);
  EXPECT_EQ(strlenUC(nullptr), 0);
  const char* t =
      "a\xC3\xA9"
      "b";
  EXPECT_EQ(GetUCPos(t, 2), t + 3);
  EXPECT_EQ(GetUCPos(t, 1), t + 1);
  EXPECT_EQ(GetUCPos(t, 10), t + 4);
  EXPECT_EQ(GetUCPos(t, -1), t);
  EXPECT_EQ(GetUCPos(t, 0), t);
  const std::string sel =
      "\x10\x00\x02"
      "ab"s;
  EXPECT_EQ(GetUCPos(sel.c_str(), 0), sel.c_str() + 3);
  EXPECT_EQ(GetUCPos(sel.c_str(), 1), sel.c_str() + 4);
  EXPECT_EQ(strlenUC(sel.c_str()), 2);
  EXPECT_EQ(GetUCPos(nullptr, 1), nullptr);
}

TEST(Encoding, Flags) {
  auto flags = [](const char* text) {
    int eight = -1, utf8 = -1;
    GetStringEncoding(text, &eight, &utf8);
    return std::make_pair(eight, utf8);
  };
  EXPECT_EQ(flags("Caf\xE9"), std::make_pair(1, 0));
  EXPECT_EQ(flags("Caf\xC3\xA9"), std::make_pair(0, 1));
  EXPECT_EQ(flags("Cafe"), std::make_pair(0, 0));
  EXPECT_EQ(flags("\x8A"), std::make_pair(0, 0));  // 0x80..0x9F alone set neither
  EXPECT_EQ(flags("\x9F\xA0"), std::make_pair(1, 0));
  EXPECT_EQ(flags("\xE9 \xC3\xA9"), std::make_pair(1, 1));
  EXPECT_EQ(flags(""), std::make_pair(0, 0));
  EXPECT_EQ(flags(nullptr), std::make_pair(0, 0));
  // The selector's own bytes are not looked at.
  EXPECT_EQ(flags("\x10\x01\xE9"
                  "abc"),
            std::make_pair(0, 0));
  EXPECT_EQ(flags("\x1F\xE9"
                  "abc"),
            std::make_pair(0, 0));
  GetStringEncoding("x\xE9", nullptr, nullptr);  // optional flags
  int utf8 = -1;
  GetStringEncoding("x\xE9", nullptr, &utf8);
  EXPECT_EQ(utf8, 0);
}
