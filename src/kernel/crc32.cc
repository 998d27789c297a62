#include "kernel/crc32.h"

#include <zlib.h>

#include "kernel/frame_header.h"

namespace vd {

uint32_t CalculateDataCRC(std::string_view bytes) {
  return static_cast<uint32_t>(
      crc32_z(0L, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

uint32_t CalculateHeaderCRC(const TOrvanFrame& frame) {
  const TFrameHeaderBytes header = SerializeFrameHeader(frame);
  return static_cast<uint32_t>(crc32_z(0L, header.data(), kHeaderCrcCoverage));
}

}  // namespace vd
