#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config/driver_settings.h"
#include "kernel/orvan_frame.h"
#include "kernel/vmpc.h"

namespace vd {

// The IV seed both ends of the link use unless configured otherwise.
inline constexpr uint16_t kFrameSecurityDefaultIVSeed = kDefaultFrameIVSeed;

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

// The Kernel frame codec of one link: turns a frame's plain data part into
// the transmitted one (zlib compression above 100 bytes, then VMPC
// encryption) and back, and fills the size and checksum fields of the header.
//
// One object per link thread; not safe for concurrent use (the methods reuse
// the object's streams and cache without a lock). It owns a copy of the
// security settings, the key included, which lives as long as the object;
// one reusable zlib stream each way (a level-9 deflate stream holds about
// 256 KiB of tables, more costly to set up than compressing a signal
// document), created on first use and retried on the next frame if zlib
// cannot start it; and the keyed VMPC state of the last few frame types
// (the IV depends only on FrameType, and the key schedule costs more than
// the keystream of a typical frame).
class TFrameCodec {
 public:
  explicit TFrameCodec(FrameSecurity security);
  ~TFrameCodec();
  TFrameCodec(const TFrameCodec&) = delete;
  TFrameCodec& operator=(const TFrameCodec&) = delete;

  // Replaces Data (the plain document) by the transmitted bytes and fills
  // EncryptionType, CompressionType, DataSize, TransmittedDataSize, DataCRC
  // and HeaderCRC; every other header field, FrameType included (it seeds the
  // IV), must be set before. Frames without data are never encrypted.
  // Raises Exception ("Frame encryption error!" when encryption is on and the
  // key is refused, or plain data above kMaxFrameDataSize) and
  // EZCompressionError; on failure the frame is left unchanged.
  void EncodeFrame(TOrvanFrame& frame);

  // Replaces Data of a received frame, whose CRCs the transport has checked,
  // by the plain data. An encrypted frame is decrypted whether or not
  // security is enabled; with security enabled, unencrypted data is refused.
  // Raises Exception with "Unknown frame encryption type!", "Kernel frame
  // decryption error!", "Unencrypted frame received. Frame discarded.",
  // "Unknown frame compression type!", or for sizes above kMaxFrameDataSize
  // or a TransmittedDataSize that is not the length of Data; and
  // EZDecompressionError when the compressed data does not inflate to
  // exactly DataSize bytes. Inflating never produces more than DataSize
  // bytes. After a failure Data is unspecified and must not be used.
  void DecodeFrame(TOrvanFrame& frame);

 private:
  class TDeflater;
  class TInflater;

  struct TKeyedEntry {
    uint16_t FrameType;
    TVMPCState State;
  };
  static constexpr std::size_t kKeyedEntries = 8;

  // Applies the keystream of frame_type to data; false (data untouched) when
  // the key is refused. Empty data always succeeds.
  bool Crypt(uint16_t frame_type, std::string& data);
  std::string Inflate(const std::string& compressed, uint32_t size);

  // Constant after construction.
  const FrameSecurity security_;

  // Reused from frame to frame.
  std::unique_ptr<TDeflater> deflater_;
  std::unique_ptr<TInflater> inflater_;
  std::array<std::optional<TKeyedEntry>, kKeyedEntries> keyed_;
  std::size_t next_keyed_victim_ = 0;
};

}  // namespace vd
