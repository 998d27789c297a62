#include "kernel/frame_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <random>

#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "support/errors.h"

namespace vd {
namespace {

std::string Document(std::size_t length) {
  std::string text;
  while (text.size() < length) text += "<Signal><Zone>" + std::to_string(text.size()) + "</Zone>";
  text.resize(length);
  return text;
}

std::string ZlibCompress(const std::string& plain) {
  uLongf length = compressBound(static_cast<uLong>(plain.size()));
  std::string out(length, '\0');
  EXPECT_EQ(
      compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                reinterpret_cast<const Bytef*>(plain.data()), static_cast<uLong>(plain.size()), 9),
      Z_OK);
  out.resize(length);
  return out;
}

// The kind and message of what call raises; empty when it raises nothing.
std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& error) {
    return std::string(error.KindName()) + ": " + error.Message();
  }
  return {};
}

class FrameCodecTest : public testing::Test {
 protected:
  TOrvanFrame Frame(std::string data, uint16_t type = 2501) const {
    TOrvanFrame frame;
    frame.FrameType = type;
    frame.SourceModuleGUID = *TGuid::Parse("{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    frame.FrameGUID = *TGuid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}");
    frame.Direction = 1;
    frame.Data = std::move(data);
    return frame;
  }

  // A received frame: the transmitted fields set as the sender would.
  TOrvanFrame Received(std::string transmitted, uint32_t data_size, uint8_t compression,
                       uint8_t encryption = 0) const {
    TOrvanFrame frame = Frame(std::move(transmitted));
    frame.DataSize = data_size;
    frame.CompressionType = compression;
    frame.EncryptionType = encryption;
    frame.TransmittedDataSize = static_cast<uint32_t>(frame.Data.size());
    return frame;
  }

  std::string DecodeError(TOrvanFrame frame) const {
    return ErrorOf([&] { DecodeFrame(frame, security_); });
  }

  FrameSecurity plain_;
  FrameSecurity security_{true, "Secret key 01", 0x5A3C};
};

TEST_F(FrameCodecTest, FrameWithoutDataIsNeverEncryptedAndAlwaysAccepted) {
  TOrvanFrame frame = Frame("");
  EncodeFrame(frame, security_);
  EXPECT_EQ(frame.DataSize, 0u);
  EXPECT_EQ(frame.TransmittedDataSize, 0u);
  EXPECT_EQ(frame.CompressionType, 0);
  EXPECT_EQ(frame.EncryptionType, 0);
  EXPECT_EQ(frame.DataCRC, 0u);
  EXPECT_EQ(frame.HeaderCRC, CalculateHeaderCRC(frame));
  EXPECT_NO_THROW(DecodeFrame(frame, security_));
  EXPECT_TRUE(frame.Data.empty());
}

TEST_F(FrameCodecTest, OnlyDataLongerThan100BytesIsCompressed) {
  for (const FrameSecurity& security : {plain_, security_}) {
    for (std::size_t length : {1u, 100u, 101u, 5000u}) {
      TOrvanFrame frame = Frame(Document(length));
      EncodeFrame(frame, security);
      EXPECT_EQ(frame.CompressionType, length > 100 ? 1 : 0) << length;
      EXPECT_EQ(frame.EncryptionType, security.SecurityEnabled ? 1 : 0);
      EXPECT_EQ(frame.DataSize, length);
      EXPECT_EQ(frame.TransmittedDataSize, frame.Data.size());
      EXPECT_EQ(frame.DataCRC, CalculateDataCRC(frame.Data));
      EXPECT_EQ(frame.HeaderCRC, CalculateHeaderCRC(frame));
      if (length <= 100 && !security.SecurityEnabled) {
        EXPECT_EQ(frame.Data, Document(length));
      }
      DecodeFrame(frame, security);
      EXPECT_EQ(frame.Data, Document(length));
    }
  }
}

TEST_F(FrameCodecTest, CompressedDataInteroperatesWithPlainZlib) {
  const std::string document = Document(3000);
  TOrvanFrame frame = Frame(document);
  EncodeFrame(frame, plain_);
  std::string inflated(document.size(), '\0');
  uLongf length = static_cast<uLongf>(inflated.size());
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &length,
                       reinterpret_cast<const Bytef*>(frame.Data.data()),
                       static_cast<uLong>(frame.Data.size())),
            Z_OK);
  EXPECT_EQ(inflated, document);

  TOrvanFrame received = Received(ZlibCompress(document), 3000, 1);
  DecodeFrame(received, plain_);
  EXPECT_EQ(received.Data, document);

  // Frame after frame, the output stays that of a fresh level-9 compression.
  for (std::size_t size : {101u, 20000u, 700u}) {
    TOrvanFrame next = Frame(Document(size));
    EncodeFrame(next, plain_);
    EXPECT_EQ(next.Data, ZlibCompress(Document(size))) << size;
  }
}

TEST_F(FrameCodecTest, EncryptedFramesDependOnlyOnTypeKeyAndData) {
  TOrvanFrame first = Frame(Document(80));
  TOrvanFrame second = Frame(Document(80));
  second.FrameGUID = TGuid{};
  TOrvanFrame other_type = Frame(Document(80), 9);
  EncodeFrame(first, security_);
  EncodeFrame(second, security_);
  EncodeFrame(other_type, security_);
  EXPECT_EQ(first.Data, second.Data);
  EXPECT_NE(first.Data, other_type.Data);
  EXPECT_NE(first.Data, Document(80));

  // A receiver with security off still decrypts with its key.
  FrameSecurity off = security_;
  off.SecurityEnabled = false;
  DecodeFrame(first, off);
  EXPECT_EQ(first.Data, Document(80));
}

TEST_F(FrameCodecTest, EveryFailureHasItsMessage) {
  FrameSecurity no_key{true, "", 0x5A3C};
  TOrvanFrame frame = Frame(Document(50));
  const TOrvanFrame before = frame;
  EXPECT_EQ(ErrorOf([&] { EncodeFrame(frame, no_key); }), "Exception: Frame encryption error!");
  EXPECT_EQ(frame, before);

  TOrvanFrame encrypted = Frame(Document(50));
  EncodeFrame(encrypted, security_);
  EXPECT_EQ(ErrorOf([&] { DecodeFrame(encrypted, no_key); }),
            "Exception: Kernel frame decryption error!");
  EXPECT_EQ(DecodeError(Received("abc", 3, 0, 2)), "Exception: Unknown frame encryption type!");
  EXPECT_EQ(DecodeError(Received("abc", 3, 0, 0)),
            "Exception: Unencrypted frame received. Frame discarded.");
  TOrvanFrame unknown_compression = Received("abc", 3, 2, 0);
  EXPECT_EQ(ErrorOf([&] { DecodeFrame(unknown_compression, plain_); }),
            "Exception: Unknown frame compression type!");
}

TEST_F(FrameCodecTest, CompressionTypeIsIgnoredWithoutData) {
  TOrvanFrame frame = Received("", 0, 7);
  EXPECT_NO_THROW(DecodeFrame(frame, security_));
  EXPECT_TRUE(frame.Data.empty());
}

TEST_F(FrameCodecTest, OversizeAndLyingSizesAreRefused) {
  TOrvanFrame huge = Frame(std::string(kMaxFrameDataSize + 1, 'x'));
  EXPECT_THROW(EncodeFrame(huge, plain_), Exception);
  EXPECT_EQ(huge.DataSize, 0u);

  TOrvanFrame big_plain = Received(ZlibCompress("abc"), kMaxFrameDataSize + 1, 1);
  EXPECT_NE(DecodeError(big_plain), "");
  TOrvanFrame big_transmitted = Received("abc", 3, 0);
  big_transmitted.TransmittedDataSize = kMaxFrameDataSize + 1;
  EXPECT_NE(DecodeError(big_transmitted), "");
  TOrvanFrame short_data = Received("abc", 3, 0, 1);
  short_data.TransmittedDataSize = 4;
  EXPECT_NE(DecodeError(short_data), "");
}

TEST_F(FrameCodecTest, CompressedDataMustInflateToExactlyDataSize) {
  const std::string document = Document(1000);
  const std::string compressed = ZlibCompress(document);
  const auto inflate_error = [&](std::string data, uint32_t size) {
    TOrvanFrame frame = Received(std::move(data), size, 1);
    const std::string error = ErrorOf([&] { DecodeFrame(frame, plain_); });
    EXPECT_EQ(error.rfind("EZDecompressionError: ", 0), 0u) << error;
    return error;
  };
  EXPECT_NE(inflate_error(compressed, 1001).find("1000 bytes instead of 1001"), std::string::npos);
  EXPECT_NE(inflate_error(compressed, 999).find("more than"), std::string::npos);
  inflate_error(compressed.substr(0, compressed.size() - 4), 1000);
  inflate_error(compressed.substr(0, compressed.size() / 2), 1000);
  inflate_error("not a zlib stream", 1000);
  std::string flipped = compressed;
  flipped[compressed.size() - 1] ^= 0x40;
  inflate_error(flipped, 1000);

  // A small stream announcing a small size that would inflate to megabytes.
  const std::string bomb = ZlibCompress(std::string(8u << 20, '\0'));
  EXPECT_NE(inflate_error(bomb, 4096).find("more than"), std::string::npos);
}

TEST_F(FrameCodecTest, MutatedFramesAreDecodedOrRefusedCleanly) {
  std::mt19937 random(20261206);
  std::vector<TOrvanFrame> seeds;
  for (std::size_t length : {0u, 40u, 101u, 700u, 4000u}) {
    for (bool secure : {false, true}) {
      TOrvanFrame frame = Frame(Document(length));
      EncodeFrame(frame, secure ? security_ : plain_);
      seeds.push_back(frame);
    }
  }
  int decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    TOrvanFrame frame = seeds[random() % seeds.size()];
    std::string wire = SerializeFrame(frame);
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      wire[random() % wire.size()] = static_cast<char>(random());
    }
    if (random() % 8 == 0) wire.resize(kFrameHeaderSize + random() % (wire.size() - 74));
    TOrvanFrame received = ParseFrameHeader(std::string_view(wire).substr(0, kFrameHeaderSize));
    received.Data = wire.substr(kFrameHeaderSize);
    const FrameSecurity& security = random() % 2 ? security_ : plain_;
    try {
      DecodeFrame(received, security);
      ++decoded;
      if (received.DataSize != 0 && received.CompressionType == 1) {
        EXPECT_EQ(received.Data.size(), received.DataSize);
      }
      EXPECT_LE(received.Data.size(), kMaxFrameDataSize);
    } catch (const Exception&) {
    }
  }
  EXPECT_GT(decoded, 0);
}

}  // namespace
}  // namespace vd
