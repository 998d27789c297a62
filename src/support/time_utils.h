#pragma once

#include <cstdint>

namespace vd {

class IClock;
class ISystemEventSink;
class ISystemTimeSetter;

// A calendar date and time without a zone; whether it is UTC or local wall
// clock time depends on where it came from. The default value is the zero
// date-time, 1899-12-30 00:00:00.000.
struct CivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

// Combines the parts into a CivilTime; raises EConvertError when they are no
// valid date and time (month 13, 30 February, hour 24 ...).
CivilTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond);

// Seconds since 1970-01-01 00:00:00 by plain calendar arithmetic, no zone
// shift; the milliseconds round to the nearest second, halves to even.
int64_t CivilToUnixSeconds(const CivilTime& time);

// The calendar date and time of Unix seconds, no zone shift; milliseconds 0.
// Raises EConvertError for a time outside the years 1 to 9999.
CivilTime UnixSecondsToCivil(int64_t seconds);

// Milliseconds since 1970 as a calendar date and time and back, milliseconds
// included; no zone shift. UnixMsToCivil raises as UnixSecondsToCivil.
CivilTime UnixMsToCivil(int64_t ms);
int64_t CivilToUnixMs(const CivilTime& time);

// CivilToUnixSeconds with the milliseconds cleared first (never rounds up).
// The zero date-time gives -2209161600.
int64_t DateTimeToUnixSeconds(const CivilTime& time);

// The system's UTC clock, milliseconds included.
CivilTime NowUtc(const IClock& clock);
int64_t NowUnixUtc(const IClock& clock);

// The local wall clock now (the C library's time-zone rules, so TZ is
// honoured), and the same as seconds since 1970 counted on the local clock
// (the way signals count TimeIn).
CivilTime NowLocal(const IClock& clock);
int64_t NowLocalUnix(const IClock& clock);

// The current bias in minutes: UTC = local time + bias (east of Greenwich the
// bias is negative), daylight saving included.
int32_t TimeZoneBias(const IClock& clock);

// Local wall-clock time to UTC and back, with the zone rules in force at that
// moment. A local time that occurs twice (the hour repeated when daylight
// saving ends) is taken in the occurrence nearest to the clock's UTC time:
// a time just read from the wall clock or a transmitter is one that is going
// on or has just passed, and the first occurrence would put an alarm of the
// second one an hour early. A local time that does not exist (the hour
// skipped when it begins) is taken with the offset in force before the
// change.
CivilTime LocalToUtc(const CivilTime& local, const IClock& clock);
CivilTime UtcToLocal(const CivilTime& utc);

// Unix seconds of the local clock to Unix seconds of UTC, as LocalToUtc.
int64_t LocalUnixToUtcUnix(int64_t local_seconds, const IClock& clock);
// Unix seconds of UTC to the local date and time.
CivilTime UtcUnixToLocal(int64_t utc_seconds);

// Sets the system clock to the given UTC second. A refusal by the system is
// ignored; any other error is reported as the event "Error while setting
// module time". Never raises.
void SetSystemTimeUnix(ISystemTimeSetter& setter, ISystemEventSink& events, int64_t utc_seconds);

}  // namespace vd
