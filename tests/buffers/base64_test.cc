#include "buffers/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/errors.h"

namespace vd {
namespace {

TEST(Base64Test, EncodesTheStandardVectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(Base64Decode("Zm9vYg=="), "foob");
  EXPECT_EQ(Base64Decode("Zm9vYmE="), "fooba");
}

TEST(Base64Test, EveryByteStringRoundTrips) {
  std::mt19937 random(7);
  for (int n = 0; n < 300; ++n) {
    std::string bytes(static_cast<size_t>(n), '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    const std::string text = Base64Encode(bytes);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    ASSERT_EQ(Base64Decode(text), bytes);
  }
}

TEST(Base64Test, RejectsAnythingTheEncoderWouldNotWrite) {
  for (const char* bad : {"Zm9", "Zm9vY", "Zm 9v", "Zm9v\n", "Zm9-", "Z===", "=m9v", "Zm=v", "Zg=a",
                          "Zh==", "Zm9=Zm9v", "Zm9vYmF"}) {
    EXPECT_THROW(Base64Decode(bad), EConvertError) << bad;
  }
}

TEST(Base64Test, RandomTextNeverCrashesTheDecoder) {
  std::mt19937 random(1234);
  const std::string alphabet = "ABCxyz019+/=\n -";
  for (int n = 0; n < 3000; ++n) {
    std::string text(random() % 16, 'A');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    try {
      const std::string bytes = Base64Decode(text);
      EXPECT_EQ(Base64Encode(bytes), text);
    } catch (const EConvertError&) {
    }
  }
}

}  // namespace
}  // namespace vd
