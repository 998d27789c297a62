#include "kernel/vmpc.h"

#include <cstring>
#include <optional>
#include <utility>

namespace vd {
namespace {

// The permutation P and the index s once keyed over a key and an IV.
struct TVMPCState {
  uint8_t p[256];
  uint8_t s;
};

// 768 steps over bytes; s carries over from one pass to the next.
void Schedule(TVMPCState& state, const uint8_t* bytes, unsigned length) {
  uint8_t* p = state.p;
  uint8_t s = state.s;
  unsigned k = 0;
  for (unsigned m = 0; m < 768; ++m) {
    const uint8_t n = static_cast<uint8_t>(m);
    s = p[static_cast<uint8_t>(s + p[n] + bytes[k])];
    std::swap(p[n], p[s]);
    if (++k == length) k = 0;
  }
  state.s = s;
}

TVMPCState KeyedState(std::string_view key, std::string_view iv) {
  TVMPCState state;
  for (unsigned i = 0; i < 256; ++i) state.p[i] = static_cast<uint8_t>(i);
  state.s = 0;
  Schedule(state, reinterpret_cast<const uint8_t*>(key.data()), static_cast<unsigned>(key.size()));
  Schedule(state, reinterpret_cast<const uint8_t*>(iv.data()), static_cast<unsigned>(iv.size()));
  return state;
}

// The key schedule is 1536 serial steps, several times the keystream of a
// typical frame, and the driver keys every frame of one type with the same
// key and IV. So each thread keeps its last few keyed states. They are
// derived from the key and live no longer than the thread, as the key does.
const TVMPCState& CachedKeyedState(std::string_view key, std::string_view iv) {
  struct TEntry {
    std::string key;
    std::string iv;
    TVMPCState state;
  };
  constexpr std::size_t kEntries = 4;
  thread_local std::optional<TEntry> cache[kEntries];
  thread_local std::size_t next_victim = 0;

  for (const auto& entry : cache) {
    if (entry && entry->key == key && entry->iv == iv) return entry->state;
  }
  auto& entry = cache[next_victim];
  next_victim = (next_victim + 1) % kEntries;
  entry.emplace(TEntry{std::string(key), std::string(iv), KeyedState(key, iv)});
  return entry->state;
}

void ApplyKeystream(const TVMPCState& keyed, uint8_t* data, std::size_t length) {
  uint8_t p[256];
  std::memcpy(p, keyed.p, sizeof(p));
  uint8_t s = keyed.s;
  uint8_t n = 0;
  for (std::size_t i = 0; i < length; ++i) {
    s = p[static_cast<uint8_t>(s + p[n])];
    data[i] ^= p[static_cast<uint8_t>(p[p[s]] + 1)];
    std::swap(p[n], p[s]);
    ++n;
  }
}

bool Crypt(std::string_view key, std::span<const uint8_t> iv, uint8_t* data, std::size_t length) {
  if (length == 0) return true;
  // Only the first (length mod 256) bytes of key and IV take part.
  const std::size_t key_length = key.size() % 256;
  const std::size_t iv_length = iv.size() % 256;
  if (key_length == 0 || iv_length == 0) return false;
  const TVMPCState& keyed =
      CachedKeyedState(key.substr(0, key_length),
                       std::string_view(reinterpret_cast<const char*>(iv.data()), iv_length));
  ApplyKeystream(keyed, data, length);
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
