#include "kernel/vmpc.h"

#include <utility>

namespace vd {
namespace {

// The permutation P and the index s, keyed over key and IV.
class TVMPCState {
 public:
  TVMPCState(const uint8_t* key, unsigned key_length, const uint8_t* iv, unsigned iv_length) {
    for (unsigned i = 0; i < 256; ++i) p_[i] = static_cast<uint8_t>(i);
    Schedule(key, key_length);
    Schedule(iv, iv_length);
  }

  void Apply(uint8_t* data, std::size_t length) {
    uint8_t s = s_;
    uint8_t n = 0;
    for (std::size_t i = 0; i < length; ++i) {
      s = p_[static_cast<uint8_t>(s + p_[n])];
      data[i] ^= p_[static_cast<uint8_t>(p_[p_[s]] + 1)];
      std::swap(p_[n], p_[s]);
      ++n;
    }
    s_ = s;
  }

 private:
  // 768 steps; s carries over from one pass to the next.
  void Schedule(const uint8_t* bytes, unsigned length) {
    uint8_t s = s_;
    unsigned k = 0;
    for (unsigned m = 0; m < 768; ++m) {
      const uint8_t n = static_cast<uint8_t>(m);
      s = p_[static_cast<uint8_t>(s + p_[n] + bytes[k])];
      std::swap(p_[n], p_[s]);
      if (++k == length) k = 0;
    }
    s_ = s;
  }

  uint8_t p_[256];
  uint8_t s_ = 0;
};

bool Crypt(std::string_view key, std::span<const uint8_t> iv, uint8_t* data, std::size_t length) {
  if (length == 0) return true;
  const unsigned key_length = static_cast<unsigned>(key.size() % 256);
  const unsigned iv_length = static_cast<unsigned>(iv.size() % 256);
  if (key_length == 0 || iv_length == 0) return false;
  TVMPCState state(reinterpret_cast<const uint8_t*>(key.data()), key_length, iv.data(), iv_length);
  state.Apply(data, length);
  return true;
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

std::optional<std::string> VMPCCrypt(std::string_view key, std::span<const uint8_t> iv,
                                     std::string_view input) {
  std::string output(input);
  if (!VMPCCryptInPlace(key, iv, output)) return std::nullopt;
  return output;
}

bool VMPCCryptInPlace(std::string_view key, std::span<const uint8_t> iv, std::string& data) {
  return Crypt(key, iv, reinterpret_cast<uint8_t*>(data.data()), data.size());
}

}  // namespace vd
