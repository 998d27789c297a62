#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/orvan_frame.h"

namespace vd {

// The Kernel frame codec: turns a frame's plain data part into the
// transmitted one (zlib compression above 100 bytes, then VMPC encryption)
// and back, and fills the size and checksum fields of the header.
// EncodeFrame and DecodeFrame run on the link thread that owns the frame and
// may run on several threads at once: their only state is per thread (one
// reusable zlib stream each way and the cipher's keyed-state cache).

// The IV seed both ends of the link use unless configured otherwise.
inline constexpr uint16_t kFrameSecurityDefaultIVSeed = 0x5A3C;

// Plain data longer than this is compressed; this many bytes or fewer are
// sent as they are.
inline constexpr std::size_t kFrameCompressionThreshold = 100;

// The encryption settings the codec works with, passed in by the caller. The
// service fills it from DriverSettings (SecurityEnabled, SecurityKey and
// FrameIVSeed) before the link thread starts.
struct FrameSecurity {
  bool SecurityEnabled = false;
  // Used byte for byte as the VMPC key, without any derivation.
  std::string SecurityKey;
  uint16_t IVSeed = kFrameSecurityDefaultIVSeed;
};

// Replaces Data (the plain document) by the transmitted bytes and fills
// EncryptionType, CompressionType, DataSize, TransmittedDataSize, DataCRC and
// HeaderCRC; every other header field, FrameType included (it seeds the IV),
// must be set before. Frames without data are never encrypted.
// Raises Exception ("Frame encryption error!" when encryption is on and the
// key is refused, or plain data above kMaxFrameDataSize) and
// EZCompressionError; on failure the frame is left unchanged.
void EncodeFrame(TOrvanFrame& frame, const FrameSecurity& security);

// Replaces Data of a received frame, whose CRCs the transport has checked,
// by the plain data. An encrypted frame is decrypted whether or not security
// is enabled; with security enabled, unencrypted data is refused.
// Raises Exception with "Unknown frame encryption type!", "Kernel frame
// decryption error!", "Unencrypted frame received. Frame discarded.",
// "Unknown frame compression type!", or for sizes above kMaxFrameDataSize or
// a TransmittedDataSize that is not the length of Data; and
// EZDecompressionError when the compressed data does not inflate to exactly
// DataSize bytes. Inflating never produces more than DataSize bytes. After a
// failure Data is unspecified and must not be used.
void DecodeFrame(TOrvanFrame& frame, const FrameSecurity& security);

}  // namespace vd
