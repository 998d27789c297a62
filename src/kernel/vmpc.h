#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vd {

// The VMPC stream cipher with the VMPC key scheduling (768 steps over the key,
// then 768 steps over the IV) that protects Kernel frame data. The same
// operation encrypts and decrypts. Safe to call from any thread: the only
// state is a small per-thread cache of keyed permutations, so that frames
// sharing a key and IV skip the key schedule.
//
// Key and IV lengths count modulo 256 (a 300-byte key acts as its first 44
// bytes); a key or IV of length 0 modulo 256 is refused. An empty input
// always succeeds with an empty output, whatever the key.

inline constexpr std::size_t kFrameIVSize = 16;
using TFrameIV = std::array<uint8_t, kFrameIVSize>;

// The IV of a frame: 16 times, rotate seed_a left and seed_b right by one bit
// (within 16 bits) and take the low byte of their xor. The driver passes its
// IV seed constant and the FrameType, so all frames of one type share an IV.
TFrameIV BuildFrameIV(uint16_t seed_a, uint16_t seed_b);

// The keystream applied to input; nullopt when the key or IV is refused.
std::optional<std::string> VMPCCrypt(std::string_view key, std::span<const uint8_t> iv,
                                     std::string_view input);

// The same applied to data in place; false (data untouched) when refused.
bool VMPCCryptInPlace(std::string_view key, std::span<const uint8_t> iv, std::string& data);

}  // namespace vd
