#include "platform/system_time.h"

#include <cerrno>
#include <ctime>
#include <string>

#include "support/errors.h"

namespace vd {

bool SystemTimeSetter::SetSystemTimeUtc(int64_t utc_seconds) {
  timespec value{};
  value.tv_sec = static_cast<time_t>(utc_seconds);
  value.tv_nsec = 0;
  if (clock_settime(CLOCK_REALTIME, &value) == 0) return true;
  const int error = errno;
  if (error == EPERM || error == EACCES) return false;
  throw MakeOSError(error, "clock_settime", std::to_string(utc_seconds));
}

}  // namespace vd
