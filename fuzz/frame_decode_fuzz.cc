// Kernel frames come from the network: any header and data part must be
// decoded or refused with an Exception, without a crash, a leak, a hang or
// undefined behaviour. The codecs live across inputs, as on a link thread, so
// that state left behind by one frame meets the next.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/frame_codec.h"
#include "kernel/frame_header.h"
#include "support/errors.h"

namespace {

// The seed corpus's encrypted frames use this key.
constexpr char kFuzzKey[] = "Fuzz link key 01";

void DecodeOrRefuse(vd::TFrameCodec& codec, vd::TOrvanFrame frame) {
  try {
    codec.DecodeFrame(frame);
  } catch (const vd::Exception&) {
    return;
  }
  const uint32_t expected = frame.CompressionType == 1 && frame.DataSize != 0
                                ? frame.DataSize
                                : frame.TransmittedDataSize;
  if (frame.Data.size() != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vd::TFrameCodec plain(vd::FrameSecurity{});
  static vd::TFrameCodec secure(vd::FrameSecurity{true, kFuzzKey, vd::kFrameSecurityDefaultIVSeed});

  if (size < vd::kFrameHeaderSize) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vd::TOrvanFrame frame = vd::ParseFrameHeader(bytes.substr(0, vd::kFrameHeaderSize));
  try {
    vd::CheckFrameHeaderSizes(frame);
  } catch (const vd::Exception&) {
    return 0;
  }
  // As a transport reads it: exactly TransmittedDataSize bytes after the header.
  const std::string_view rest = bytes.substr(vd::kFrameHeaderSize);
  if (rest.size() < frame.TransmittedDataSize) return 0;
  frame.Data = std::string(rest.substr(0, frame.TransmittedDataSize));
  DecodeOrRefuse(plain, frame);
  DecodeOrRefuse(secure, frame);
  return 0;
}
