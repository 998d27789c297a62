#include <windows.h>

#include "platform/system_clock.h"

namespace vd {

// GetTickCount64 counts from system start and is not disturbed when the
// system time is set; FILETIME counts 100 ns steps since 1601.
int64_t SystemClock::MonotonicMs() const { return static_cast<int64_t>(GetTickCount64()); }

int64_t SystemClock::UtcNowMs() const {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  constexpr int64_t kUnixEpochTicks = 116444736000000000;
  return (ticks - kUnixEpochTicks) / 10000;
}

}  // namespace vd
