#include "platform/system_clock.h"

#include <ctime>

namespace vd {
namespace {

int64_t ReadMs(clockid_t id) {
  timespec now{};
  clock_gettime(id, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int64_t SystemClock::MonotonicMs() const { return ReadMs(CLOCK_BOOTTIME); }

int64_t SystemClock::UtcNowMs() const { return ReadMs(CLOCK_REALTIME); }

}  // namespace vd
