#include "support/text_encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "support/utf8.h"

namespace vd {

namespace {

// The code points of the bytes 0x80 to 0xFF. The bytes the code page leaves
// undefined keep their own value as a C1 control code point, so no byte is
// lost on the way to UTF-8 and back.
constexpr std::array<char32_t, 128> kHighHalf = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98-9F
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0-A7
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8-AF
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0-B7
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8-BF
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0-C7
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8-CF
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0-D7
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8-DF
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0-E7
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8-EF
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0-F7
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8-FF
};

using ReverseEntry = std::pair<char32_t, unsigned char>;

// kHighHalf sorted by code point, for the way back.
const std::array<ReverseEntry, 128>& ReverseTable() {
  static const std::array<ReverseEntry, 128> table = [] {
    std::array<ReverseEntry, 128> entries{};
    for (size_t i = 0; i < kHighHalf.size(); ++i) {
      entries[i] = {kHighHalf[i], static_cast<unsigned char>(0x80 + i)};
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }();
  return table;
}

}  // namespace

std::string Win1250ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      AppendUtf8(out, kHighHalf[byte - 0x80]);
    }
  }
  return out;
}

std::string Utf8ToWin1250(std::string_view utf8) {
  const auto& reverse = ReverseTable();
  std::string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t cp = 0;
    const size_t length = DecodeUtf8Sequence(utf8, pos, cp);
    if (length == 0) {
      out += '?';
      ++pos;
      continue;
    }
    pos += length;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    const auto it = std::lower_bound(reverse.begin(), reverse.end(), ReverseEntry{cp, 0});
    out += (it != reverse.end() && it->first == cp) ? static_cast<char>(it->second) : '?';
  }
  return out;
}

}  // namespace vd
