#include "kernel/vmpc.h"

#include <utility>

namespace vd {
namespace {

// 768 steps over bytes; S carries over from one pass to the next.
void Schedule(TVMPCState& state, const uint8_t* bytes, std::size_t length) {
  auto& p = state.P;
  uint8_t s = state.S;
  std::size_t k = 0;
  for (unsigned m = 0; m < 768; ++m) {
    const uint8_t n = static_cast<uint8_t>(m);
    s = p[static_cast<uint8_t>(s + p[n] + bytes[k])];
    std::swap(p[n], p[s]);
    if (++k == length) k = 0;
  }
  state.S = s;
}

}  // namespace

TFrameIV BuildFrameIV(uint16_t seed_a, uint16_t seed_b) {
  TFrameIV iv{};
  for (auto& byte : iv) {
    seed_a = static_cast<uint16_t>((seed_a << 1) | (seed_a >> 15));
    seed_b = static_cast<uint16_t>((seed_b >> 1) | (seed_b << 15));
    byte = static_cast<uint8_t>(seed_a ^ seed_b);
  }
  return iv;
}

std::optional<TVMPCState> VMPCKeyedState(std::string_view key, std::span<const uint8_t> iv) {
  // Only the first (length mod 256) bytes of key and IV take part.
  const std::size_t key_length = key.size() % 256;
  const std::size_t iv_length = iv.size() % 256;
  if (key_length == 0 || iv_length == 0) return std::nullopt;
  TVMPCState state;
  for (unsigned i = 0; i < 256; ++i) state.P[i] = static_cast<uint8_t>(i);
  state.S = 0;
  Schedule(state, reinterpret_cast<const uint8_t*>(key.data()), key_length);
  Schedule(state, iv.data(), iv_length);
  return state;
}

void VMPCApplyKeystream(const TVMPCState& keyed, std::span<uint8_t> data) {
  std::array<uint8_t, 256> p = keyed.P;
  uint8_t s = keyed.S;
  uint8_t n = 0;
  for (uint8_t& byte : data) {
    s = p[static_cast<uint8_t>(s + p[n])];
    byte ^= p[static_cast<uint8_t>(p[p[s]] + 1)];
    std::swap(p[n], p[s]);
    ++n;
  }
}

std::optional<std::string> VMPCCrypt(std::string_view key, std::span<const uint8_t> iv,
                                     std::string_view input) {
  std::string output(input);
  if (output.empty()) return output;
  const std::optional<TVMPCState> keyed = VMPCKeyedState(key, iv);
  if (!keyed) return std::nullopt;
  VMPCApplyKeystream(*keyed, std::span(reinterpret_cast<uint8_t*>(output.data()), output.size()));
  return output;
}

}  // namespace vd
