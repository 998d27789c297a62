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
// operation encrypts and decrypts. Free functions without hidden state; safe
// to call from any thread. A caller that keys many messages the same way
// (TFrameCodec) keeps the keyed state itself: VMPCKeyedState once, then
// VMPCApplyKeystream per message.
//
// Key and IV lengths count modulo 256 (a 300-byte key acts as its first 44
// bytes); a key or IV of length 0 modulo 256 is refused. An empty input
// always succeeds with an empty output, whatever the key.

inline constexpr std::size_t kFrameIVSize = 16;
using TFrameIV = std::array<uint8_t, kFrameIVSize>;

// The permutation P and the index S after the key schedule over a key and an
// IV: the starting point of every keystream for that pair. A plain value
// owned by the caller; it is derived from the key, so treat it like the key.
struct TVMPCState {
  std::array<uint8_t, 256> P;
  uint8_t S;
};

// The IV of a frame: 16 times, rotate seed_a left and seed_b right by one bit
// (within 16 bits) and take the low byte of their xor. The driver passes its
// IV seed constant and the FrameType, so all frames of one type share an IV.
TFrameIV BuildFrameIV(uint16_t seed_a, uint16_t seed_b);

// The state after the key schedule; nullopt when the key or IV is refused.
std::optional<TVMPCState> VMPCKeyedState(std::string_view key, std::span<const uint8_t> iv);

// Applies the keystream that starts at keyed to data in place (keyed itself
// is not changed, so it serves any number of messages).
void VMPCApplyKeystream(const TVMPCState& keyed, std::span<uint8_t> data);

// The keystream applied to input; nullopt when the key or IV is refused.
std::optional<std::string> VMPCCrypt(std::string_view key, std::span<const uint8_t> iv,
                                     std::string_view input);

}  // namespace vd
