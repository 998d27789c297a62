#include "support/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace vd {
namespace {

TEST(TextEncodingTest, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = Win1250ToUtf8(all);
  EXPECT_EQ(Utf8ToWin1250(utf8), all);
  // Every byte becomes a distinct character: 128 one-byte, the rest longer.
  EXPECT_GT(utf8.size(), all.size() + 128 - 1);
}

TEST(TextEncodingTest, PolishLettersMapToTheirCodePageBytes) {
  const std::string utf8 = "ąęłóśżźćńĄĘŁÓŚŻŹĆŃ";
  const std::string bytes =
      "\xB9\xEA\xB3\xF3\x9C\xBF\x9F\xE6\xF1"
      "\xA5\xCA\xA3\xD3\x8C\xAF\x8F\xC6\xD1";
  EXPECT_EQ(Utf8ToWin1250(utf8), bytes);
  EXPECT_EQ(Win1250ToUtf8(bytes), utf8);
}

TEST(TextEncodingTest, EuroSignAndUndefinedBytes) {
  EXPECT_EQ(Win1250ToUtf8("\x80"), "\u20AC");
  EXPECT_EQ(Utf8ToWin1250("\u20AC"), "\x80");
  EXPECT_EQ(Win1250ToUtf8("\x81"), "\u0081");
  EXPECT_EQ(Win1250ToUtf8("\x98"), "\u0098");
  EXPECT_EQ(Utf8ToWin1250("\u0090"), "\x90");
}

TEST(TextEncodingTest, UnmappableCharactersAndInvalidBytesBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToWin1250("a\u4E2Db"), "a?b");        // CJK
  EXPECT_EQ(Utf8ToWin1250("\xF0\x9F\x98\x80"), "?");  // emoji, one character
  EXPECT_EQ(Utf8ToWin1250("x\xB9y"), "x?y");          // stray continuation byte
  EXPECT_EQ(Utf8ToWin1250("\xC4"), "?");              // truncated sequence
  EXPECT_EQ(Utf8ToWin1250("\xC0\xAF"), "??");         // overlong "/"
  EXPECT_EQ(Utf8ToWin1250("\xED\xA0\x80"), "???");    // surrogate
  EXPECT_EQ(Utf8ToWin1250("\xC4\x85\xC4"), "\xB9?");  // valid then truncated
  EXPECT_EQ(Utf8ToWin1250(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace vd
