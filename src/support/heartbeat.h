#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace vd {

// The moment a worker thread last showed that it runs: the thread beats at
// every pass of its loop (monotonic milliseconds of the driver's clock), the
// watchdog and the metrics read it. Lock-free; Beat and LastBeatMs are safe
// to call from any thread.
class THeartbeat {
 public:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();

  void Beat(int64_t monotonic_ms) noexcept {
    last_ms_.store(monotonic_ms, std::memory_order_relaxed);
  }
  // kNever before the first beat.
  int64_t LastBeatMs() const noexcept { return last_ms_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> last_ms_{kNever};
};

}  // namespace vd
