#include "support/guid.h"

#include <gtest/gtest.h>

#include <set>

namespace vd {
namespace {

TEST(GuidTest, TextFormRoundTrips) {
  const auto guid = TGuid::Parse("{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  ASSERT_TRUE(guid.has_value());
  EXPECT_EQ(guid->data1, 0x6B29FC40u);
  EXPECT_EQ(guid->data2, 0xCA47);
  EXPECT_EQ(guid->data3, 0x1067);
  EXPECT_EQ(guid->data4[0], 0xB3);
  EXPECT_EQ(guid->data4[7], 0xDA);
  EXPECT_EQ(guid->ToString(), "{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  EXPECT_EQ(TGuid::Parse("{6b29fc40-ca47-1067-b31d-00dd010662da}"), guid);
}

TEST(GuidTest, WireLayoutIsLittleEndianForTheThreeNumbers) {
  const TGuid guid = *TGuid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  const auto bytes = guid.ToBytes();
  const uint8_t expected[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], expected[i]) << i;
  EXPECT_EQ(TGuid::FromBytes(bytes.data()), guid);
}

TEST(GuidTest, MalformedTextIsRejected) {
  EXPECT_FALSE(TGuid::Parse("").has_value());
  EXPECT_FALSE(TGuid::Parse("6B29FC40-CA47-1067-B31D-00DD010662DA").has_value());
  EXPECT_FALSE(TGuid::Parse("{6B29FC40-CA47-1067-B31D-00DD010662DG}").has_value());
  EXPECT_FALSE(TGuid::Parse("{6B29FC40+CA47-1067-B31D-00DD010662DA}").has_value());
}

TEST(GuidTest, NewGuidsAreDistinctAndNotNull) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const TGuid guid = NewGuid();
    EXPECT_FALSE(guid.IsNull());
    seen.insert(guid.ToString());
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace vd
