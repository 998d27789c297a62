#include "support/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace vd {
namespace {

TEST(TextEncodingTest, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToWin1250(Win1250ToUtf8(all)), all);
  // Bytes the code page leaves undefined keep their own code points.
  EXPECT_EQ(Win1250ToUtf8("\x81\x98"), "\u0081\u0098");
}

TEST(TextEncodingTest, PolishLettersAndEuroSignMapToTheirCodePageBytes) {
  const std::string utf8 = "ąęłóśżźćńĄĘŁÓŚŻŹĆŃ€";
  const std::string bytes =
      "\xB9\xEA\xB3\xF3\x9C\xBF\x9F\xE6\xF1"
      "\xA5\xCA\xA3\xD3\x8C\xAF\x8F\xC6\xD1\x80";
  EXPECT_EQ(Utf8ToWin1250(utf8), bytes);
  EXPECT_EQ(Win1250ToUtf8(bytes), utf8);
}

TEST(TextEncodingTest, UnmappableCharactersAndInvalidBytesBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToWin1250("a\u4E2Db"), "a?b");        // CJK
  EXPECT_EQ(Utf8ToWin1250("\xF0\x9F\x98\x80"), "?");  // emoji, one character
  EXPECT_EQ(Utf8ToWin1250("x\xB9y"), "x?y");          // stray continuation byte
  EXPECT_EQ(Utf8ToWin1250("\xC0\xAF"), "??");         // overlong "/"
  EXPECT_EQ(Utf8ToWin1250("\xED\xA0\x80"), "???");    // surrogate
  EXPECT_EQ(Utf8ToWin1250("\xC4\x85\xC4"), "\xB9?");  // valid then truncated
  EXPECT_EQ(Utf8ToWin1250(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace vd
