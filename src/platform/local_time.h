#pragma once

#include <cstdint>
#include <string>

#include "support/time_utils.h"

namespace vd {

// The local wall clock at one UTC instant, by the host's zone rules.
struct LocalTimeAt {
  CivilTime Time;             // milliseconds 0
  int64_t OffsetSeconds = 0;  // local time minus UTC (east of Greenwich positive)
};

// The host's zone rules at utc_seconds: on POSIX the C library's (TZ is
// honoured), on Windows the system's time-zone rules for that year. Raises
// EOSError when the instant cannot be converted. Safe to call from any
// thread; the support helpers of support/time_utils.h build on it.
LocalTimeAt LocalTimeAtUtc(int64_t utc_seconds);

#ifdef _WIN32
// Windows takes the zone from the system, never from TZ. For tests, as TZ
// is on POSIX: the process uses the rules of the named zone of the system's
// time-zone database ("Central European Standard Time") in place of the
// system's own; an empty name returns to the system's. Call it while no
// other thread converts times.
void UseTimeZoneRules(const std::wstring& zone_key_name);
#endif

}  // namespace vd
