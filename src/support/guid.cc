#include "support/guid.h"

#include <cstdio>
#include <random>

namespace vd {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 2*count hexadecimal digits at text[pos] as a big-endian number.
bool ReadHex(std::string_view text, size_t pos, size_t count, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < count * 2; ++i) {
    const int digit = HexValue(text[pos + i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  return true;
}

}  // namespace

std::array<uint8_t, 16> TGuid::ToBytes() const {
  std::array<uint8_t, 16> bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) bytes[8 + i] = data4[i];
  return bytes;
}

TGuid TGuid::FromBytes(const uint8_t* bytes) {
  TGuid guid;
  for (int i = 3; i >= 0; --i) guid.data1 = (guid.data1 << 8) | bytes[i];
  guid.data2 = static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
  guid.data3 = static_cast<uint16_t>(bytes[6] | (bytes[7] << 8));
  for (int i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

std::string TGuid::ToString() const {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6],
                data4[7]);
  return text;
}

std::optional<TGuid> TGuid::Parse(std::string_view text) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-') {
    return std::nullopt;
  }
  TGuid guid;
  uint64_t value = 0;
  if (!ReadHex(text, 1, 4, value)) return std::nullopt;
  guid.data1 = static_cast<uint32_t>(value);
  if (!ReadHex(text, 10, 2, value)) return std::nullopt;
  guid.data2 = static_cast<uint16_t>(value);
  if (!ReadHex(text, 15, 2, value)) return std::nullopt;
  guid.data3 = static_cast<uint16_t>(value);
  const size_t byte_positions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, byte_positions[i], 1, value)) return std::nullopt;
    guid.data4[i] = static_cast<uint8_t>(value);
  }
  return guid;
}

TGuid NewGuid() {
  // Seeded with 256 bits: one 32-bit seed per thread would let two of the
  // many connection threads share a whole sequence of GUIDs.
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  const uint64_t high = generator();
  const uint64_t low = generator();
  uint8_t bytes[16];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(high >> (8 * i));
    bytes[8 + i] = static_cast<uint8_t>(low >> (8 * i));
  }
  bytes[7] = static_cast<uint8_t>((bytes[7] & 0x0F) | 0x40);  // version 4 (high byte of data3)
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return TGuid::FromBytes(bytes);
}

}  // namespace vd
