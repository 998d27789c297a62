#include "platform/local_time.h"

#include <cerrno>
#include <ctime>
#include <limits>
#include <string>

#include "support/errors.h"

namespace vd {

LocalTimeAt LocalTimeAtUtc(int64_t utc_seconds) {
  const auto when = static_cast<time_t>(utc_seconds);
  struct tm local {};
  errno = 0;
  if (localtime_r(&when, &local) == nullptr) {
    throw MakeOSError(errno != 0 ? errno : EOVERFLOW, "localtime_r", std::to_string(utc_seconds));
  }
  // localtime_r fills tm_year up to INT_MAX, whose calendar year no int holds.
  if (local.tm_year > std::numeric_limits<int>::max() - 1900) {
    throw MakeOSError(EOVERFLOW, "localtime_r", std::to_string(utc_seconds));
  }
  LocalTimeAt result;
  result.Time.year = local.tm_year + 1900;
  result.Time.month = local.tm_mon + 1;
  result.Time.day = local.tm_mday;
  result.Time.hour = local.tm_hour;
  result.Time.minute = local.tm_min;
  result.Time.second = local.tm_sec;
  result.OffsetSeconds = local.tm_gmtoff;
  return result;
}

}  // namespace vd
