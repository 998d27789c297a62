#include "kernel/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "kernel/frame_header.h"

namespace vd {
namespace {

TOrvanFrame SampleFrame() {
  TOrvanFrame frame;
  frame.FrameType = 2501;
  frame.SourceModuleGUID = *TGuid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  frame.FrameGUID = *TGuid::Parse("{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  frame.Direction = 1;
  frame.DataSize = 12;
  frame.TransmittedDataSize = 12;
  frame.DataCRC = 0x12345678;
  frame.Data = "hello kernel";
  return frame;
}

TEST(Crc32Test, DataCrcIsTheStandardCrc32) {
  EXPECT_EQ(CalculateDataCRC("123456789"), 0xCBF43926u);
  EXPECT_EQ(CalculateDataCRC(""), 0u);
  EXPECT_EQ(CalculateDataCRC(std::string(1, '\0')), 0xD202EF8Du);
}

TEST(Crc32Test, HeaderCrcCoversExactlyTheFirst71HeaderBytes) {
  const TOrvanFrame frame = SampleFrame();
  const TFrameHeaderBytes bytes = SerializeFrameHeader(frame);
  EXPECT_EQ(CalculateHeaderCRC(frame), crc32(0L, bytes.data(), 71));

  const uint32_t original = CalculateHeaderCRC(frame);
  for (std::size_t offset = 0; offset < kHeaderCrcCoverage; ++offset) {
    TFrameHeaderBytes changed = bytes;
    changed[offset] ^= 0x01;
    EXPECT_NE(CalculateHeaderCRC(ParseFrameHeader(changed)), original) << "offset " << offset;
  }

  TOrvanFrame other = frame;
  other.HeaderCRC = 0xFFFFFFFF;
  other.Data = "different data";
  EXPECT_EQ(CalculateHeaderCRC(other), original);
}

}  // namespace
}  // namespace vd
