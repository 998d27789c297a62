#include "support/guid.h"

#include <gtest/gtest.h>

#include <array>

namespace vd {
namespace {

TEST(GuidTest, TextAndLittleEndianWireFormsRoundTripAndMalformedTextIsRejected) {
  const TGuid guid = TGuid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}").value();
  EXPECT_EQ(guid.ToString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_EQ(TGuid::Parse("{00112233-4455-6677-8899-aabbccddeeff}"), guid);
  const std::array<uint8_t, 16> wire = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(guid.ToBytes(), wire);
  EXPECT_EQ(TGuid::FromBytes(wire.data()), guid);
  for (const char* text :
       {"", "6B29FC40-CA47-1067-B31D-00DD010662DA", "{6B29FC40-CA47-1067-B31D-00DD010662DG}",
        "{6B29FC40+CA47-1067-B31D-00DD010662DA}"})
    EXPECT_FALSE(TGuid::Parse(text).has_value()) << text;
}

}  // namespace
}  // namespace vd
