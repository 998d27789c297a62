#include "kernel/frame_header.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vd {
namespace {

TEST(FrameHeaderTest, FieldsSitAtTheirOffsetsLittleEndian) {
  TFrameHeaderBytes bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  TOrvanFrame f = ParseFrameHeader(bytes);
  EXPECT_EQ(
      std::make_tuple(f.FrameType, f.SourceModuleGUID.ToBytes()[0],
                      f.DestinationModuleGUID.ToBytes()[0], f.SourceInstallationNumber,
                      f.DestinationInstallationNumber, f.Direction, f.FrameGUID.ToBytes()[0],
                      f.FrameGUID.ToBytes()[15], f.FrameNumber, f.EncryptionType, f.CompressionType,
                      f.DataSize, f.TransmittedDataSize, f.DataCRC, f.HeaderCRC),
      std::make_tuple(0x0100, 2, 18, 0x2322, 0x2524, 38, 39, 54, 0x3837, 57, 58, 0x3E3D3C3Bu,
                      0x4241403Fu, 0x46454443u, 0x4A494847u));
  f.Data = std::string("<a>\0b</a>", 9);
  EXPECT_EQ(SerializeFrame(f), std::string(bytes.begin(), bytes.end()) + f.Data);
}

}  // namespace
}  // namespace vd
