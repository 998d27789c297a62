#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vd {

// A GUID in the Windows layout: a 32-bit number, two 16-bit numbers, then
// eight bytes. On the wire (Kernel frame headers) the three numbers are
// little-endian; as text it is "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with
// upper-case hexadecimal digits (38 characters).
struct TGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  friend bool operator==(const TGuid&, const TGuid&) = default;

  bool IsNull() const { return *this == TGuid{}; }

  // The 16 bytes of the wire layout.
  std::array<uint8_t, 16> ToBytes() const;
  static TGuid FromBytes(const uint8_t* bytes);

  std::string ToString() const;
  // Accepts the 38-character form (letters of either case); nullopt otherwise.
  static std::optional<TGuid> Parse(std::string_view text);
};

// A new random GUID (version 4). Safe to call from any thread.
TGuid NewGuid();

}  // namespace vd
