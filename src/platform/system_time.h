#pragma once

#include "support/system_time_setter.h"

namespace vd {

// Sets the host's real-time clock (CLOCK_REALTIME). Needs the CAP_SYS_TIME
// capability; without it the system refuses and SetSystemTimeUtc answers
// false. Holds no state; safe to call from any thread.
class SystemTimeSetter final : public ISystemTimeSetter {
 public:
  bool SetSystemTimeUtc(int64_t utc_seconds) override;
};

}  // namespace vd
