#include "kernel/frame_codec.h"

#include <zlib.h>

#include <span>
#include <utility>

#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "support/errors.h"

namespace vd {
namespace {

constexpr uint8_t kNotEncrypted = 0;
constexpr uint8_t kEncryptedVMPC = 1;
constexpr uint8_t kNotCompressed = 0;
constexpr uint8_t kCompressedZlib = 1;

std::string ZlibMessage(const z_stream& stream, int result) {
  return stream.msg != nullptr ? std::string(stream.msg) : "zlib error " + std::to_string(result);
}

}  // namespace

// A level-9 deflate stream, reset before every use.
class TFrameCodec::TDeflater {
 public:
  TDeflater() {
    if (deflateInit(&stream_, Z_BEST_COMPRESSION) != Z_OK) {
      throw EZCompressionError("Frame data compression could not start.");
    }
  }
  ~TDeflater() { deflateEnd(&stream_); }
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  // The zlib stream of plain, byte for byte what compress2 at level 9 makes.
  std::string Compress(const std::string& plain) {
    deflateReset(&stream_);
    const uLong bound = deflateBound(&stream_, static_cast<uLong>(plain.size()));
    std::string compressed(bound, '\0');
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    stream_.avail_in = static_cast<uInt>(plain.size());
    stream_.next_out = reinterpret_cast<Bytef*>(compressed.data());
    stream_.avail_out = static_cast<uInt>(bound);
    const int result = deflate(&stream_, Z_FINISH);
    if (result != Z_STREAM_END) {
      throw EZCompressionError("Frame data compression failed (zlib error " +
                               std::to_string(result) + ").");
    }
    compressed.resize(stream_.total_out);
    return compressed;
  }

 private:
  z_stream stream_{};
};

class TFrameCodec::TInflater {
 public:
  TInflater() {
    if (inflateInit(&stream_) != Z_OK) {
      throw EZDecompressionError("Frame data decompression could not start.");
    }
  }
  ~TInflater() { inflateEnd(&stream_); }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  z_stream& ResetStream() {
    inflateReset(&stream_);
    return stream_;
  }

 private:
  z_stream stream_{};
};

TFrameCodec::TFrameCodec(FrameSecurity security) : security_(std::move(security)) {}

TFrameCodec::~TFrameCodec() = default;

bool TFrameCodec::Crypt(uint16_t frame_type, std::string& data) {
  if (data.empty()) return true;
  const TVMPCState* keyed = nullptr;
  for (const auto& entry : keyed_) {
    if (entry && entry->FrameType == frame_type) keyed = &entry->State;
  }
  if (keyed == nullptr) {
    const TFrameIV iv = BuildFrameIV(security_.IVSeed, frame_type);
    const std::optional<TVMPCState> state = VMPCKeyedState(security_.SecurityKey, iv);
    if (!state) return false;
    auto& entry = keyed_[next_keyed_victim_];
    next_keyed_victim_ = (next_keyed_victim_ + 1) % kKeyedEntries;
    entry.emplace(TKeyedEntry{frame_type, *state});
    keyed = &entry->State;
  }
  VMPCApplyKeystream(*keyed, std::span(reinterpret_cast<uint8_t*>(data.data()), data.size()));
  return true;
}

// Inflates a zlib stream into exactly size bytes; raises EZDecompressionError
// when the stream is corrupt, ends early or would yield more than size bytes.
std::string TFrameCodec::Inflate(const std::string& compressed, uint32_t size) {
  if (!inflater_) inflater_ = std::make_unique<TInflater>();
  std::string plain(size, '\0');
  z_stream& stream = inflater_->ResetStream();
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = reinterpret_cast<Bytef*>(plain.data());
  stream.avail_out = static_cast<uInt>(size);

  const int result = inflate(&stream, Z_FINISH);
  if (result == Z_STREAM_END) {
    if (stream.total_out != size) {
      throw EZDecompressionError("Frame data inflated to " + std::to_string(stream.total_out) +
                                 " bytes instead of " + std::to_string(size) + ".");
    }
    return plain;
  }
  if (result != Z_OK && result != Z_BUF_ERROR) {
    throw EZDecompressionError("Frame data decompression failed: " + ZlibMessage(stream, result) +
                               ".");
  }
  if (stream.avail_out > 0) {
    // Every input byte was used before the stream ended.
    throw EZDecompressionError("Frame data compressed stream ended early after " +
                               std::to_string(stream.total_out) + " of " + std::to_string(size) +
                               " bytes.");
  }
  if (stream.avail_in == 0) {
    // All the data came out, but the stream's end (with its checksum) did not.
    throw EZDecompressionError("Frame data compressed stream does not end after its " +
                               std::to_string(size) + " bytes.");
  }
  // The buffer is full while input remains: see whether the stream still
  // ends cleanly (it may not have read its trailer yet) or carries more data.
  Bytef probe = 0;
  stream.next_out = &probe;
  stream.avail_out = 1;
  const int probe_result = inflate(&stream, Z_FINISH);
  if (probe_result == Z_STREAM_END && stream.avail_out == 1) return plain;
  if (stream.avail_out == 0) {
    throw EZDecompressionError("Frame data inflates to more than its declared " +
                               std::to_string(size) + " bytes.");
  }
  throw EZDecompressionError(
      "Frame data decompression failed: " + ZlibMessage(stream, probe_result) + ".");
}

void TFrameCodec::EncodeFrame(TOrvanFrame& frame) {
  if (frame.Data.size() > kMaxFrameDataSize) {
    throw Exception("Frame data of " + std::to_string(frame.Data.size()) +
                    " bytes exceeds the limit of " + std::to_string(kMaxFrameDataSize) + " bytes.");
  }
  const auto data_size = static_cast<uint32_t>(frame.Data.size());
  const bool compress = frame.Data.size() > kFrameCompressionThreshold;
  std::string transmitted;
  if (compress) {
    if (!deflater_) deflater_ = std::make_unique<TDeflater>();
    transmitted = deflater_->Compress(frame.Data);
  } else {
    transmitted = frame.Data;
  }

  const bool encrypt = security_.SecurityEnabled && !transmitted.empty();
  if (encrypt && !Crypt(frame.FrameType, transmitted)) {
    throw Exception("Frame encryption error!");
  }

  frame.EncryptionType = encrypt ? kEncryptedVMPC : kNotEncrypted;
  frame.CompressionType = compress ? kCompressedZlib : kNotCompressed;
  frame.DataSize = data_size;
  frame.TransmittedDataSize = static_cast<uint32_t>(transmitted.size());
  frame.DataCRC = CalculateDataCRC(transmitted);
  frame.Data = std::move(transmitted);
  frame.HeaderCRC = CalculateHeaderCRC(frame);
}

void TFrameCodec::DecodeFrame(TOrvanFrame& frame) {
  CheckFrameHeaderSizes(frame);
  if (frame.TransmittedDataSize != frame.Data.size()) {
    throw Exception("Kernel frame announces " + std::to_string(frame.TransmittedDataSize) +
                    " data bytes but carries " + std::to_string(frame.Data.size()) + ".");
  }

  switch (frame.EncryptionType) {
    case kEncryptedVMPC:
      if (!Crypt(frame.FrameType, frame.Data)) {
        throw Exception("Kernel frame decryption error!");
      }
      break;
    case kNotEncrypted:
      if (frame.TransmittedDataSize > 0 && security_.SecurityEnabled) {
        throw Exception("Unencrypted frame received. Frame discarded.");
      }
      break;
    default:
      throw Exception("Unknown frame encryption type!");
  }

  if (frame.DataSize == 0) return;
  switch (frame.CompressionType) {
    case kNotCompressed:
      break;
    case kCompressedZlib:
      frame.Data = Inflate(frame.Data, frame.DataSize);
      break;
    default:
      throw Exception("Unknown frame compression type!");
  }
}

}  // namespace vd
