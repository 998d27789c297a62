#pragma once

#include <cstdint>
#include <string_view>

#include "kernel/orvan_frame.h"

namespace vd {

// The two checksums of a Kernel frame, both the standard reflected CRC-32
// (polynomial 0xEDB88320, initial value and final xor 0xFFFFFFFF; the one of
// zlib and PNG). zlib's tables are fixed, so these are safe to call from any
// thread.

// CRC-32 of a byte string; 0 for no bytes.
uint32_t CalculateDataCRC(std::string_view bytes);

// CRC-32 of the first 71 header bytes of the frame as laid out on the wire
// (everything before HeaderCRC, DataCRC included).
uint32_t CalculateHeaderCRC(const TOrvanFrame& frame);

}  // namespace vd
