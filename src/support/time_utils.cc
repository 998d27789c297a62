#include "support/time_utils.h"

#include <cerrno>
#include <string>

#include "platform/local_time.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/system_event_sink.h"
#include "support/system_time_setter.h"

namespace vd {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil), exact for every year an int holds.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

CivilTime CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;
  CivilTime result;
  result.day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
  result.month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
  result.year = static_cast<int>(year_of_era + era * 400 + (result.month <= 2 ? 1 : 0));
  return result;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

int64_t WholeSeconds(const CivilTime& time) {
  return DaysFromCivil(time.year, time.month, time.day) * kSecondsPerDay +
         int64_t{time.hour} * 3600 + int64_t{time.minute} * 60 + time.second;
}

// Seconds east of UTC in force at a UTC instant.
int64_t OffsetAt(int64_t utc_seconds) { return LocalTimeAtUtc(utc_seconds).OffsetSeconds; }

CivilTime LocalAt(int64_t utc_seconds, int millisecond) {
  CivilTime local = LocalTimeAtUtc(utc_seconds).Time;
  local.millisecond = millisecond;
  return local;
}

// The UTC instant of a local wall-clock second. Every offset in force within
// a day on either side is a candidate; among the candidates that reproduce
// the local time the one nearest to near_utc wins (a repeated hour is taken
// in the occurrence that is going on or has just passed; the earlier one on
// a tie). A local time in a gap has no such candidate: it takes the offset in
// force before the change, which is the offset at the earliest instant the
// candidates name.
int64_t LocalSecondsToUtcSeconds(int64_t local_seconds, int64_t near_utc) {
  // Years 1 to 9999 with a few days to spare; beyond that the probes below
  // could overflow.
  constexpr int64_t kEarliest = -62135596800 - 4 * kSecondsPerDay;
  constexpr int64_t kLatest = 253402300799 + 4 * kSecondsPerDay;
  if (local_seconds < kEarliest || local_seconds > kLatest) {
    throw MakeOSError(EOVERFLOW, "convert local time", std::to_string(local_seconds));
  }
  constexpr int kProbes = 9;
  constexpr int64_t kProbeStep = int64_t{6} * 3600;
  int64_t candidates[kProbes];
  int count = 0;
  for (int i = 0; i < kProbes; ++i) {
    const int64_t offset = OffsetAt(local_seconds + (i - kProbes / 2) * kProbeStep);
    bool known = false;
    for (int j = 0; j < count; ++j) known = known || candidates[j] == offset;
    if (!known) candidates[count++] = offset;
  }
  // Distances in unsigned arithmetic: near_utc may be anything the clock says.
  const auto distance = [near_utc](int64_t utc) {
    return utc < near_utc ? uint64_t(near_utc) - uint64_t(utc) : uint64_t(utc) - uint64_t(near_utc);
  };
  bool found = false;
  int64_t best = 0;
  int64_t largest_offset = candidates[0];
  for (int j = 0; j < count; ++j) {
    const int64_t utc = local_seconds - candidates[j];
    if (OffsetAt(utc) == candidates[j] && (!found || distance(utc) < distance(best) ||
                                           (distance(utc) == distance(best) && utc < best))) {
      best = utc;
      found = true;
    }
    if (candidates[j] > largest_offset) largest_offset = candidates[j];
  }
  if (found) return best;
  return local_seconds - OffsetAt(local_seconds - largest_offset);
}

CivilTime WithMilliseconds(CivilTime time, int millisecond) {
  time.millisecond = millisecond;
  return time;
}

}  // namespace

CivilTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw EConvertError("Invalid argument to date encode");
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  return CivilTime{year, month, day, hour, minute, second, millisecond};
}

int64_t CivilToUnixSeconds(const CivilTime& time) {
  int64_t seconds = WholeSeconds(time);
  // Half a second rounds to the even neighbour.
  if (time.millisecond > 500 || (time.millisecond == 500 && seconds % 2 != 0)) ++seconds;
  return seconds;
}

CivilTime UnixSecondsToCivil(int64_t seconds) {
  // 0001-01-01 00:00:00 to 9999-12-31 23:59:59, the years EncodeDateTime
  // accepts; far beyond them the year would not even fit in an int.
  constexpr int64_t kFirst = -62135596800;
  constexpr int64_t kLast = 253402300799;
  if (seconds < kFirst || seconds > kLast) {
    throw EConvertError(std::to_string(seconds) +
                        " seconds since 1970 lie outside the years 1 to 9999");
  }
  const int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const int64_t of_day = seconds - days * kSecondsPerDay;
  CivilTime result = CivilFromDays(days);
  result.hour = static_cast<int>(of_day / 3600);
  result.minute = static_cast<int>(of_day / 60 % 60);
  result.second = static_cast<int>(of_day % 60);
  return result;
}

CivilTime UnixMsToCivil(int64_t ms) {
  const int64_t seconds = FloorDiv(ms, 1000);
  const CivilTime time = UnixSecondsToCivil(seconds);  // first: it bounds seconds
  return WithMilliseconds(time, static_cast<int>(ms - seconds * 1000));
}

int64_t CivilToUnixMs(const CivilTime& time) {
  return WholeSeconds(time) * 1000 + time.millisecond;
}

int64_t DateTimeToUnixSeconds(const CivilTime& time) { return WholeSeconds(time); }

CivilTime NowUtc(const IClock& clock) { return UnixMsToCivil(clock.UtcNowMs()); }

int64_t NowUnixUtc(const IClock& clock) { return CivilToUnixSeconds(NowUtc(clock)); }

CivilTime NowLocal(const IClock& clock) {
  const int64_t ms = clock.UtcNowMs();
  const int64_t seconds = FloorDiv(ms, 1000);
  return LocalAt(seconds, static_cast<int>(ms - seconds * 1000));
}

int64_t NowLocalUnix(const IClock& clock) {
  const int64_t seconds = FloorDiv(clock.UtcNowMs(), 1000);
  return seconds + OffsetAt(seconds);
}

int32_t TimeZoneBias(const IClock& clock) {
  const int64_t offset = OffsetAt(FloorDiv(clock.UtcNowMs(), 1000));
  return static_cast<int32_t>(-offset / 60);
}

CivilTime LocalToUtc(const CivilTime& local, const IClock& clock) {
  return WithMilliseconds(
      UnixSecondsToCivil(LocalSecondsToUtcSeconds(WholeSeconds(local), NowUnixUtc(clock))),
      local.millisecond);
}

CivilTime UtcToLocal(const CivilTime& utc) { return LocalAt(WholeSeconds(utc), utc.millisecond); }

int64_t LocalUnixToUtcUnix(int64_t local_seconds, const IClock& clock) {
  return LocalSecondsToUtcSeconds(local_seconds, NowUnixUtc(clock));
}

CivilTime UtcUnixToLocal(int64_t utc_seconds) { return LocalAt(utc_seconds, 0); }

void SetSystemTimeUnix(ISystemTimeSetter& setter, ISystemEventSink& events, int64_t utc_seconds) {
  try {
    // A refusal (no privilege to set the clock) is not worth an event.
    static_cast<void>(setter.SetSystemTimeUtc(utc_seconds));
  } catch (...) {
    try {
      events.AddSystemEvent("Error while setting module time", CurrentExceptionText(), true);
    } catch (...) {  // the sink promises not to raise; this keeps our own promise regardless
    }
  }
}

}  // namespace vd
