#include "kernel/frame_header.h"

#include <gtest/gtest.h>

#include "support/errors.h"

namespace vd {
namespace {

TOrvanFrame DistinctFieldsFrame() {
  TOrvanFrame frame;
  frame.FrameType = 0x0102;
  frame.SourceModuleGUID = *TGuid::Parse("{13121110-1514-1716-1819-1A1B1C1D1E1F}");
  frame.DestinationModuleGUID = *TGuid::Parse("{23222120-2524-2726-2829-2A2B2C2D2E2F}");
  frame.SourceInstallationNumber = 0x3132;
  frame.DestinationInstallationNumber = 0x3334;
  frame.Direction = 0x35;
  frame.FrameGUID = *TGuid::Parse("{43424140-4544-4746-4849-4A4B4C4D4E4F}");
  frame.FrameNumber = 0x5152;
  frame.EncryptionType = 0x53;
  frame.CompressionType = 0x54;
  frame.DataSize = 0x61626364;
  frame.TransmittedDataSize = 0x65666768;
  frame.DataCRC = 0x71727374;
  frame.HeaderCRC = 0x75767778;
  return frame;
}

void ExpectBytes(const TFrameHeaderBytes& bytes, std::size_t offset,
                 std::initializer_list<uint8_t> expected) {
  for (uint8_t value : expected) {
    EXPECT_EQ(bytes[offset], value) << "offset " << offset;
    ++offset;
  }
}

TEST(FrameHeaderTest, FieldsSitAtTheirOffsetsLittleEndian) {
  const TFrameHeaderBytes bytes = SerializeFrameHeader(DistinctFieldsFrame());
  ExpectBytes(bytes, 0, {0x02, 0x01});
  ExpectBytes(bytes, 2, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19});
  ExpectBytes(bytes, 17, {0x1F, 0x20, 0x21});
  ExpectBytes(bytes, 33, {0x2F, 0x32, 0x31, 0x34, 0x33, 0x35, 0x40, 0x41});
  ExpectBytes(bytes, 54, {0x4F, 0x52, 0x51, 0x53, 0x54});
  ExpectBytes(bytes, 59, {0x64, 0x63, 0x62, 0x61, 0x68, 0x67, 0x66, 0x65});
  ExpectBytes(bytes, 67, {0x74, 0x73, 0x72, 0x71, 0x78, 0x77, 0x76, 0x75});
}

TEST(FrameHeaderTest, SerializedFrameIsHeaderThenDataAndParsesBack) {
  TOrvanFrame frame = DistinctFieldsFrame();
  frame.Data = std::string("<a>\0b</a>", 9);
  const std::string wire = SerializeFrame(frame);
  ASSERT_EQ(wire.size(), kFrameHeaderSize + 9);
  EXPECT_EQ(wire.substr(kFrameHeaderSize), frame.Data);

  TOrvanFrame parsed = ParseFrameHeader(std::string_view(wire).substr(0, kFrameHeaderSize));
  EXPECT_TRUE(parsed.Data.empty());
  parsed.Data = frame.Data;
  EXPECT_EQ(parsed, frame);
}

TEST(FrameHeaderTest, HeaderTextOfWrongLengthIsRefused) {
  EXPECT_THROW(ParseFrameHeader(std::string_view(std::string(74, '\0'))), Exception);
  EXPECT_THROW(ParseFrameHeader(std::string_view(std::string(76, '\0'))), Exception);
}

TEST(FrameHeaderTest, SizesAboveTheLimitAreRefusedBeforeReading) {
  TOrvanFrame header;
  header.DataSize = kMaxFrameDataSize;
  header.TransmittedDataSize = kMaxFrameDataSize;
  EXPECT_NO_THROW(CheckFrameHeaderSizes(header));
  header.DataSize = kMaxFrameDataSize + 1;
  EXPECT_THROW(CheckFrameHeaderSizes(header), Exception);
  header.DataSize = 0;
  header.TransmittedDataSize = 0xFFFFFFFF;
  EXPECT_THROW(CheckFrameHeaderSizes(header), Exception);
}

}  // namespace
}  // namespace vd
