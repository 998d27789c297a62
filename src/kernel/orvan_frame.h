#pragma once

#include <cstdint>
#include <string>

#include "support/guid.h"

namespace vd {

// One Kernel frame: the 75-byte header fields and the data bytes. A plain
// value; copies share nothing. Data holds the plain document before
// EncodeFrame and after DecodeFrame, the transmitted bytes in between.
struct TOrvanFrame {
  uint16_t FrameType = 0;
  TGuid SourceModuleGUID;
  TGuid DestinationModuleGUID;
  uint16_t SourceInstallationNumber = 0;
  uint16_t DestinationInstallationNumber = 0;
  uint8_t Direction = 0;
  TGuid FrameGUID;
  uint16_t FrameNumber = 0;
  uint8_t EncryptionType = 0;
  uint8_t CompressionType = 0;
  uint32_t DataSize = 0;
  uint32_t TransmittedDataSize = 0;
  uint32_t DataCRC = 0;
  uint32_t HeaderCRC = 0;
  std::string Data;

  friend bool operator==(const TOrvanFrame&, const TOrvanFrame&) = default;
};

}  // namespace vd
