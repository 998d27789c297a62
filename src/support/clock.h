#pragma once

#include <cstdint>

namespace vd {

// The one source of time for the whole driver. Every time-out, deadline and
// throttle uses the monotonic clock (Ticks); every timestamp uses the wall
// clock. Production uses SystemClock (platform/system_clock.h); tests use
// FakeClock (tests/fakes/fake_clock.h) and advance it by hand.
// Implementations are safe to call from any thread.
class IClock {
 public:
  virtual ~IClock() = default;

  // Milliseconds since an arbitrary fixed origin; never goes backwards and is
  // not disturbed when the system time is set.
  virtual int64_t MonotonicMs() const = 0;

  // The system's UTC clock: milliseconds since 1970-01-01 00:00:00 UTC.
  // Jumps when the system time is set.
  virtual int64_t UtcNowMs() const = 0;

  // The monotonic clock in milliseconds, or in whole seconds (truncated).
  int64_t Ticks(bool in_milliseconds) const {
    const int64_t ms = MonotonicMs();
    return in_milliseconds ? ms : ms / 1000;
  }
};

}  // namespace vd
