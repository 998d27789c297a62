#pragma once

#include <atomic>
#include <cstdint>

#include "support/clock.h"

namespace vd {

// A clock the test sets and advances by hand. Advance moves the monotonic
// and the wall clock together; SetUtcMs moves only the wall clock (as when
// the system time is set). Safe to use from any thread.
class FakeClock final : public IClock {
 public:
  // 2024-01-15 12:00:00 UTC, monotonic clock at one hour of uptime.
  static constexpr int64_t kDefaultUtcMs = 1705320000000;
  static constexpr int64_t kDefaultMonotonicMs = 3600000;

  int64_t MonotonicMs() const override { return monotonic_ms_.load(); }
  int64_t UtcNowMs() const override { return utc_ms_.load(); }

  void Advance(int64_t ms) {
    monotonic_ms_ += ms;
    utc_ms_ += ms;
  }
  void AdvanceSeconds(int64_t seconds) { Advance(seconds * 1000); }
  void SetUtcMs(int64_t ms) { utc_ms_ = ms; }
  void SetUtcSeconds(int64_t seconds) { utc_ms_ = seconds * 1000; }

 private:
  std::atomic<int64_t> monotonic_ms_{kDefaultMonotonicMs};
  std::atomic<int64_t> utc_ms_{kDefaultUtcMs};
};

}  // namespace vd
