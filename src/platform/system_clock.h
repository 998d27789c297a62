#pragma once

#include "support/clock.h"

namespace vd {

// The host's clocks: CLOCK_BOOTTIME for ticks (monotonic, counting from
// system start, suspended time included), CLOCK_REALTIME for UTC.
class SystemClock final : public IClock {
 public:
  int64_t MonotonicMs() const override;
  int64_t UtcNowMs() const override;
};

}  // namespace vd
