#include "buffers/base64.h"

#include <gtest/gtest.h>

#include <random>

#include "support/errors.h"

namespace vd {

// Random bytes round-trip; their text with a character inserted (wrong length)
// or replaced by one outside the alphabet is rejected, never crashes.
TEST(Base64Test, EncodesStandardlyAndDecodesOnlyWhatItWouldWrite) {
  EXPECT_EQ(Base64Encode("f") + Base64Encode("fo") + Base64Encode("\xFB\xFF\xBF"), "Zg==Zm8=+/+/");
  for (const char* bad : {"Zm9", "Zh==", "Z===", "=m9v", "Zm9=Zm9v"})
    EXPECT_THROW(Base64Decode(bad), EConvertError) << bad;
  std::mt19937 random(7);
  for (size_t n = 0; n < 3000; ++n) {
    std::string bytes(random() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string text = Base64Encode(bytes);
    ASSERT_EQ(Base64Decode(text), bytes);
    text.replace(n % (text.size() + 1), n / 7 % 2, 1, "\n -.\x80"[n % 5]);
    EXPECT_THROW(Base64Decode(text), EConvertError) << text;
  }
}

}  // namespace vd
