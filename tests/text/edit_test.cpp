// InsertAt and DeleteAt at every kind of position. InsertAt copies through
// TAP_MemCpy, so each test starts a fresh receiver.
#include <gtest/gtest.h>

#include <string>

#include "guarded.h"
#include "lib/text/text.h"
#include "support/testing.h"

using namespace std::string_literals;

namespace {

class Edit : public ::testing::Test {
 protected:
  void SetUp() override { orvado_test::freshReceiver(); }

  // Inserts into a buffer with exactly the room the result needs.
  static std::string insert(const std::string& text, int pos, const char* what) {
    Guarded buf(text.size() + std::char_traits<char>::length(what) + 1);
    std::memcpy(buf.data(), text.c_str(), text.size() + 1);
    InsertAt(buf.data(), pos, what);
    return std::string(buf.data());
  }
  static std::string erase(const std::string& text, int pos, int count) {
    std::string buf = text;
    DeleteAt(buf.data(), pos, count);
    return std::string(buf.c_str());
  }
};

}  // namespace

TEST_F(Edit, InsertAtFrontMiddleEndAndBeyond) {
  EXPECT_EQ(insert("abc", 1, "XY"), "aXYbc");
  EXPECT_EQ(insert("abc", 0, "XY"), "XYabc");
  EXPECT_EQ(insert("abc", -5, "XY"), "XYabc");
  EXPECT_EQ(insert("abc", 3, "XY"), "abcXY");
  EXPECT_EQ(insert("abc", 9, "XY"), "abcXY");
  EXPECT_EQ(insert("", 0, "XY"), "XY");
  EXPECT_EQ(insert("abc", 1, ""), "abc");
}

TEST_F(Edit, InsertCountsCharactersNotBytes) {
  EXPECT_EQ(insert("a\xC3\xA9"
                   "b",
                   2, "XY"),
            "a\xC3\xA9XYb");
  EXPECT_EQ(insert("a\xC3\xA9"
                   "b",
                   1, "XY"),
            "aXY\xC3\xA9"
            "b");
  EXPECT_EQ(insert("\xE2\x82\xAC\xE9", 1, "\xC3\xBC"), "\xE2\x82\xAC\xC3\xBC\xE9");
}

TEST_F(Edit, InsertKeepsCharacterTableBytesInFront) {
  EXPECT_EQ(insert("\x05"
                   "abc",
                   0, "XY"),
            "\x05XYabc");
  EXPECT_EQ(insert("\x05"
                   "abc",
                   3, "XY"),
            "\x05"
            "abcXY");
  EXPECT_EQ(insert("\x1F\x01"
                   "ab",
                   1, "XY"),
            "\x1F\x01"
            "aXYb");
  // A 0x01..0x1F byte behind the selector is an ordinary character.
  EXPECT_EQ(insert("\x05\x05"
                   "ab",
                   0, "XY"),
            "\x05XY\x05"
            "ab");
  EXPECT_EQ(insert("\x05\x05"
                   "ab",
                   1, "XY"),
            "\x05\x05XYab");
}

TEST_F(Edit, InsertIgnoresNullPointers) {
  InsertAt(nullptr, 0, "XY");
  char text[8] = "abc";
  InsertAt(text, 0, nullptr);
  EXPECT_STREQ(text, "abc");
}

TEST_F(Edit, DeleteAtFrontMiddleAndEnd) {
  EXPECT_EQ(erase("abcdef", 1, 2), "adef");
  EXPECT_EQ(erase("abcdef", 0, 1), "bcdef");
  EXPECT_EQ(erase("abcdef", -3, 1), "bcdef");
  EXPECT_EQ(erase("abcdef", 4, 10), "abcd");
  EXPECT_EQ(erase("abcdef", 4, 2), "abcd");
  EXPECT_EQ(erase("abcdef", 0, 6), "");
  EXPECT_EQ(erase("abc", 3, 1), "abc");
  EXPECT_EQ(erase("abc", 1, 0), "abc");
  EXPECT_EQ(erase("abc", 1, -2), "abc");
  EXPECT_EQ(erase("abc", 2147483647, 2147483647), "abc");
  EXPECT_EQ(erase("abc", 1, 2147483647), "a");
}

TEST_F(Edit, DeleteCountsCharactersAndKeepsSelector) {
  EXPECT_EQ(erase("a\xC3\xA9"
                  "b\xE2\x82\xAC"
                  "c",
                  1, 2),
            "a\xE2\x82\xAC"
            "c");
  EXPECT_EQ(erase("\x05"
                  "abc",
                  0, 1),
            "\x05"
            "bc");
  std::string sel =
      "\x10\x00\x02"
      "abc"s;
  DeleteAt(sel.data(), 1, 1);
  EXPECT_EQ(sel.substr(0, 5),
            "\x10\x00\x02"
            "ac"s);
}

// A byte 0x01..0x1F where the deletion starts is an ordinary character: exactly
// `count` characters go, never the ones behind it as well.
TEST_F(Edit, DeleteStartingAtControlByteRemovesExactlyCount) {
  EXPECT_EQ(erase("ab\x01"
                  "cd",
                  2, 1),
            "abcd");
  EXPECT_EQ(erase("a\x10"
                  "bcd",
                  1, 1),
            "abcd");
  EXPECT_EQ(erase("a\x1F"
                  "bcd",
                  1, 2),
            "acd");
}

TEST_F(Edit, DeleteIgnoresNullAndEmpty) {
  DeleteAt(nullptr, 0, 1);
  char empty[1] = "";
  DeleteAt(empty, 0, 1);
  EXPECT_STREQ(empty, "");
  char onlySelector[2] = "\x05";
  DeleteAt(onlySelector, 0, 1);
  EXPECT_STREQ(onlySelector, "\x05");
}
