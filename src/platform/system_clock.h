#pragma once

#include "support/clock.h"

namespace vd {

// The host's clocks: CLOCK_MONOTONIC for ticks, CLOCK_REALTIME for UTC.
class SystemClock final : public IClock {
 public:
  int64_t MonotonicMs() const override;
  int64_t UtcNowMs() const override;
};

}  // namespace vd
