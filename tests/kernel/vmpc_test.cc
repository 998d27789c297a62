#include "kernel/vmpc.h"

#include <gtest/gtest.h>

#include <vector>

namespace vd {
namespace {

std::string Hex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Published VMPC test vector (VMPC with the key-then-IV scheduling, no third
// pass), as used by the Bouncy Castle VMPC engine tests
// (bcgit/bc-csharp crypto/test/src/crypto/test/VMPCTest.cs) and the cipher
// author's reference implementation test data: keystream bytes at positions
// 0-3, 252-255, 1020-1023 and 102396-102399 of 102400 enciphered zero bytes.
TEST(VmpcTest, MatchesThePublishedTestVector) {
  const std::string key = Hex("9661410AB797D8A9EB767C21172DF6C7");
  const auto iv = Bytes(Hex("4B5C2F003E67F39557A8D26F3DA2B155"));
  const auto output = VMPCCrypt(key, iv, std::string(102400, '\0'));
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->substr(0, 4), Hex("A82479F5"));
  EXPECT_EQ(output->substr(252, 4), Hex("B8FC66A4"));
  EXPECT_EQ(output->substr(1020, 4), Hex("E05640A5"));
  EXPECT_EQ(output->substr(102396, 4), Hex("81CA499A"));

  const auto recovered = VMPCCrypt(key, iv, *output);
  ASSERT_TRUE(recovered.has_value());
  EXPECT_EQ(*recovered, std::string(102400, '\0'));
}

TEST(VmpcTest, KeyAndIvLengthsCountModulo256) {
  const auto iv = BuildFrameIV(0x5A3C, 2501);
  const std::string plain = "<Data>alarm</Data>";
  std::string long_key(300, 'k');
  for (std::size_t i = 0; i < long_key.size(); ++i) long_key[i] = static_cast<char>(i * 7);
  EXPECT_EQ(VMPCCrypt(long_key, iv, plain), VMPCCrypt(long_key.substr(0, 44), iv, plain));

  EXPECT_FALSE(VMPCCrypt("", iv, plain).has_value());
  EXPECT_FALSE(VMPCCrypt(std::string(256, 'k'), iv, plain).has_value());
  EXPECT_FALSE(VMPCCrypt("key", std::span<const uint8_t>(), plain).has_value());

  std::string data = plain;
  EXPECT_FALSE(VMPCCryptInPlace("", iv, data));
  EXPECT_EQ(data, plain);
}

TEST(VmpcTest, EveryKeyAndIvGivesItsOwnKeystreamWhateverTheOrder) {
  const std::string plain(64, '\0');
  std::vector<std::string> first;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 6; ++i) {
      const int index = round == 0 ? i : 5 - i;
      const std::string key = index % 2 ? "key one" : "key two";
      const auto output =
          VMPCCrypt(key, BuildFrameIV(0x5A3C, static_cast<uint16_t>(index / 2)), plain);
      ASSERT_TRUE(output.has_value());
      if (round == 0) {
        for (const auto& earlier : first) EXPECT_NE(*output, earlier);
        first.push_back(*output);
      } else {
        EXPECT_EQ(*output, first[index]) << index;
      }
    }
  }
}

TEST(VmpcTest, EmptyInputSucceedsWhateverTheKey) {
  EXPECT_EQ(VMPCCrypt("", BuildFrameIV(1, 2), ""), std::string());
}

TEST(VmpcTest, FrameIvRotatesTheSeedsInOppositeDirections) {
  EXPECT_EQ(BuildFrameIV(0x0001, 0x8000),
            (TFrameIV{0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x80, 0x40, 0x20, 0x10, 0x08, 0x04,
                      0x02, 0x01, 0x01}));
  EXPECT_EQ(BuildFrameIV(0x5A3C, 2501), (TFrameIV{0x9A, 0x80, 0xDA, 0x59, 0xC5, 0x31, 0x3E, 0x53,
                                                  0x30, 0x2A, 0x70, 0xF3, 0x6F, 0x9B, 0x94, 0xF9}));
}

}  // namespace
}  // namespace vd
