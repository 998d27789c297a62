#include "kernel/frame_header.h"

#include <algorithm>

#include "support/errors.h"

namespace vd {
namespace {

class THeaderWriter {
 public:
  explicit THeaderWriter(TFrameHeaderBytes& bytes) : bytes_(bytes) {}

  void U8(uint8_t value) { bytes_[pos_++] = value; }
  void U16(uint16_t value) {
    U8(static_cast<uint8_t>(value));
    U8(static_cast<uint8_t>(value >> 8));
  }
  void U32(uint32_t value) {
    U16(static_cast<uint16_t>(value));
    U16(static_cast<uint16_t>(value >> 16));
  }
  void Guid(const TGuid& guid) {
    const auto raw = guid.ToBytes();
    std::copy(raw.begin(), raw.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ += raw.size();
  }

 private:
  TFrameHeaderBytes& bytes_;
  std::size_t pos_ = 0;
};

class THeaderReader {
 public:
  explicit THeaderReader(std::span<const uint8_t, kFrameHeaderSize> bytes) : bytes_(bytes) {}

  uint8_t U8() { return bytes_[pos_++]; }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  TGuid Guid() {
    const TGuid guid = TGuid::FromBytes(bytes_.data() + pos_);
    pos_ += 16;
    return guid;
  }

 private:
  std::span<const uint8_t, kFrameHeaderSize> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

TFrameHeaderBytes SerializeFrameHeader(const TOrvanFrame& frame) {
  TFrameHeaderBytes bytes{};
  THeaderWriter out(bytes);
  out.U16(frame.FrameType);
  out.Guid(frame.SourceModuleGUID);
  out.Guid(frame.DestinationModuleGUID);
  out.U16(frame.SourceInstallationNumber);
  out.U16(frame.DestinationInstallationNumber);
  out.U8(frame.Direction);
  out.Guid(frame.FrameGUID);
  out.U16(frame.FrameNumber);
  out.U8(frame.EncryptionType);
  out.U8(frame.CompressionType);
  out.U32(frame.DataSize);
  out.U32(frame.TransmittedDataSize);
  out.U32(frame.DataCRC);
  out.U32(frame.HeaderCRC);
  return bytes;
}

std::string SerializeFrame(const TOrvanFrame& frame) {
  const TFrameHeaderBytes header = SerializeFrameHeader(frame);
  std::string wire;
  wire.reserve(kFrameHeaderSize + frame.Data.size());
  wire.append(reinterpret_cast<const char*>(header.data()), header.size());
  wire.append(frame.Data);
  return wire;
}

TOrvanFrame ParseFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes) {
  THeaderReader in(bytes);
  TOrvanFrame frame;
  frame.FrameType = in.U16();
  frame.SourceModuleGUID = in.Guid();
  frame.DestinationModuleGUID = in.Guid();
  frame.SourceInstallationNumber = in.U16();
  frame.DestinationInstallationNumber = in.U16();
  frame.Direction = in.U8();
  frame.FrameGUID = in.Guid();
  frame.FrameNumber = in.U16();
  frame.EncryptionType = in.U8();
  frame.CompressionType = in.U8();
  frame.DataSize = in.U32();
  frame.TransmittedDataSize = in.U32();
  frame.DataCRC = in.U32();
  frame.HeaderCRC = in.U32();
  return frame;
}

TOrvanFrame ParseFrameHeader(std::string_view bytes) {
  if (bytes.size() != kFrameHeaderSize) {
    throw Exception("Kernel frame header of " + std::to_string(bytes.size()) +
                    " bytes instead of " + std::to_string(kFrameHeaderSize) + ".");
  }
  return ParseFrameHeader(std::span<const uint8_t, kFrameHeaderSize>(
      reinterpret_cast<const uint8_t*>(bytes.data()), kFrameHeaderSize));
}

void CheckFrameHeaderSizes(const TOrvanFrame& header) {
  if (header.DataSize > kMaxFrameDataSize || header.TransmittedDataSize > kMaxFrameDataSize) {
    throw Exception("Kernel frame too large: data size " + std::to_string(header.DataSize) +
                    ", transmitted size " + std::to_string(header.TransmittedDataSize) +
                    ", limit " + std::to_string(kMaxFrameDataSize) + " bytes.");
  }
}

}  // namespace vd
