#include "kernel/crc32.h"

#include <gtest/gtest.h>

#include "kernel/frame_header.h"

namespace vd {
namespace {

TEST(Crc32Test, BothChecksumsAreTheStandardCrc32OverTheirBytes) {
  EXPECT_EQ(CalculateDataCRC("123456789"), 0xCBF43926u);
  EXPECT_EQ(CalculateDataCRC(""), 0u);
  // The header CRC covers bytes 0-70, DataCRC included, but not the data.
  TOrvanFrame frame{2501, {}, {}, 0, 0, 0, {}, 0, 0, 0, 0, 0, 0x12345678, 0, "hello kernel"};
  const TFrameHeaderBytes bytes = SerializeFrameHeader(frame);
  const uint32_t original = CalculateDataCRC({reinterpret_cast<const char*>(bytes.data()), 71});
  // Bytes 67-70 are DataCRC, 71-74 HeaderCRC itself.
  for (std::size_t offset = 0; offset < kFrameHeaderSize; ++offset) {
    TFrameHeaderBytes changed = bytes;
    changed[offset] ^= 0x01;
    EXPECT_EQ(CalculateHeaderCRC(ParseFrameHeader(changed)) != original, offset <= 70) << offset;
  }
  frame.Data = "different data";
  EXPECT_EQ(CalculateHeaderCRC(frame), original);
}

}  // namespace
}  // namespace vd
