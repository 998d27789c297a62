#include "kernel/frame_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <tuple>
#include <vector>

#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "support/errors.h"

namespace vd {
namespace {

std::string Zlib(const std::string& plain) {
  uLongf length = compressBound(static_cast<uLong>(plain.size()));
  std::vector<Bytef> out(length);
  compress2(out.data(), &length, reinterpret_cast<const Bytef*>(plain.data()),
            static_cast<uLong>(plain.size()), 9);
  return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
}

// A frame of type 0 with the given data, DataSize, CompressionType and EncryptionType.
TOrvanFrame Frame(std::string data, uint32_t size = 0, uint8_t zip = 0, uint8_t crypt = 0) {
  const auto sent = static_cast<uint32_t>(data.size());
  return {0, {}, {}, 0, 0, 0, {}, 0, crypt, zip, size, sent, 0, 0, std::move(data)};
}

// The data that encoding or decoding frame leaves, or "Kind: message" of what it raises.
std::string Outcome(TFrameCodec& codec, TOrvanFrame& frame, bool encode = false) {
  try {
    encode ? codec.EncodeFrame(frame) : codec.DecodeFrame(frame);
  } catch (const Exception& error) {
    return std::string(error.KindName()) + ": " + error.Message();
  }
  return frame.Data;
}

TEST(FrameCodecTest, DataAbove100BytesIsZlibCompressedAndEmptyDataNeverEncrypted) {
  TFrameCodec plain{{}}, secure{{true, "Secret key 01"}};
  for (TFrameCodec* codec : {&plain, &secure}) {
    for (uint32_t length : {0u, 100u, 101u, 20000u}) {
      TOrvanFrame frame = Frame(std::string(length, 'x'));
      codec->EncodeFrame(frame);
      EXPECT_EQ(
          std::tie(frame.CompressionType, frame.EncryptionType, frame.DataSize,
                   frame.TransmittedDataSize, frame.DataCRC, frame.HeaderCRC),
          std::make_tuple(length > 100, codec == &secure && length > 0, length, frame.Data.size(),
                          CalculateDataCRC(frame.Data), CalculateHeaderCRC(frame)));
      // Byte for byte compress2 at level 9, so plain zlib inflates it.
      EXPECT_EQ(frame.Data == Zlib(std::string(length, 'x')), codec == &plain && length > 100);
      EXPECT_EQ(Outcome(*codec, frame), std::string(length, 'x'));
    }
  }
}

TEST(FrameCodecTest, FramesOfOneTypeEncryptIdenticallyAndDecryptWithSecurityOff) {
  TFrameCodec secure{{true, "Secret key 01"}}, off{{false, "Secret key 01"}};
  std::vector<TOrvanFrame> sent(60, Frame(std::string(80, 'x')));
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i].FrameType = static_cast<uint16_t>(i % 20);
    secure.EncodeFrame(sent[i]);
    EXPECT_EQ(sent[i], sent[i % 20]) << i;
  }
  EXPECT_NE(sent[0].Data, sent[1].Data);
  EXPECT_EQ(Outcome(off, sent[0]), std::string(80, 'x'));
}

TEST(FrameCodecTest, EveryFailureHasItsMessage) {
  TFrameCodec plain{{}}, secure{{true, "Secret key 01"}}, no_key{{true, ""}};
  const std::string zlib = Zlib(std::string(1000, 'x'));
  const std::string zlib_300 = Zlib(std::string(300, 'y'));
  TOrvanFrame lying = Frame("abc", 3);
  lying.TransmittedDataSize = 4;
  const std::tuple<TFrameCodec*, TOrvanFrame, bool, std::string> cases[] = {
      {&no_key, Frame("abc"), true, "Exception: Frame encryption error!"},
      {&plain, Frame(std::string(kMaxFrameDataSize + 1, 'x')), true,
       "Exception: Frame data of 16777217 bytes exceeds the limit of 16777216 bytes."},
      {&no_key, Frame("abc", 3, 0, 1), false, "Exception: Kernel frame decryption error!"},
      {&plain, Frame("abc", 3, 0, 2), false, "Exception: Unknown frame encryption type!"},
      {&secure, Frame("abc", 3), false, "Exception: Unencrypted frame received. Frame discarded."},
      {&plain, Frame("abc", 3, 2), false, "Exception: Unknown frame compression type!"},
      {&secure, Frame("", 0, 7), false, ""},
      {&plain, Frame(Zlib(std::string(3000, 'x')), 3000, 1), false, std::string(3000, 'x')},
      {&plain, lying, false, "Exception: Kernel frame announces 4 data bytes but carries 3."},
      {&plain, Frame("abc", kMaxFrameDataSize + 1, 1), false,
       "Exception: Kernel frame too large: data size 16777217, transmitted size 3, limit 16777216 "
       "bytes."},
      {&plain, Frame(zlib, 1001, 1), false,
       "EZDecompressionError: Frame data inflated to 1000 bytes instead of 1001."},
      {&plain, Frame(zlib.substr(0, zlib.size() / 2), 1000, 1), false,
       "EZDecompressionError: Frame data compressed stream ended early after 518 of 1000 bytes."},
      {&plain, Frame(zlib_300.substr(0, zlib_300.size() - 4), 300, 1), false,  // no checksum
       "EZDecompressionError: Frame data compressed stream does not end after its 300 bytes."},
      {&plain, Frame("not zlib", 1000, 1), false,
       "EZDecompressionError: Frame data decompression failed: incorrect header check."},
      {&plain, Frame(Zlib(std::string(8u << 20, '\0')), 4096, 1), false,
       "EZDecompressionError: Frame data inflates to more than its declared 4096 bytes."},
  };
  for (const auto& [codec, original, encode, error] : cases) {
    TOrvanFrame frame = original;
    EXPECT_EQ(Outcome(*codec, frame, encode), error);
    EXPECT_TRUE(!encode || frame == original);  // a failed encoding leaves the frame unchanged
  }
}

}  // namespace
}  // namespace vd
