#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/local_time.h"
#include "support/errors.h"

namespace vd {
namespace {

// The zone UseTimeZoneRules chose; empty for the system's.
std::wstring& ChosenZone() {
  static std::wstring zone;
  return zone;
}

[[noreturn]] void Fail(const char* operation, int64_t utc_seconds) {
  const DWORD error = GetLastError();
  throw EOSError(EINVAL, std::string(operation) + " " + std::to_string(utc_seconds) +
                             ": the system refused (Windows error " + std::to_string(error) + ")");
}

}  // namespace

void UseTimeZoneRules(const std::wstring& zone_key_name) { ChosenZone() = zone_key_name; }

LocalTimeAt LocalTimeAtUtc(int64_t utc_seconds) {
  // What SYSTEMTIME and the calendar helpers both hold: 1601 to 9999.
  constexpr int64_t kFirst = -11644473600;  // 1601-01-01 00:00:00
  constexpr int64_t kLast = 253402300799;   // 9999-12-31 23:59:59
  if (utc_seconds < kFirst || utc_seconds > kLast) {
    throw MakeOSError(EOVERFLOW, "convert to local time", std::to_string(utc_seconds));
  }
  const CivilTime utc = UnixSecondsToCivil(utc_seconds);
  SYSTEMTIME utc_time{};
  utc_time.wYear = static_cast<WORD>(utc.year);
  utc_time.wMonth = static_cast<WORD>(utc.month);
  utc_time.wDay = static_cast<WORD>(utc.day);
  utc_time.wHour = static_cast<WORD>(utc.hour);
  utc_time.wMinute = static_cast<WORD>(utc.minute);
  utc_time.wSecond = static_cast<WORD>(utc.second);

  // The rules of that year: zones change their rules now and then.
  DYNAMIC_TIME_ZONE_INFORMATION zone{};
  const DYNAMIC_TIME_ZONE_INFORMATION* chosen = nullptr;
  if (!ChosenZone().empty()) {
    ChosenZone().copy(zone.TimeZoneKeyName, std::size(zone.TimeZoneKeyName) - 1);
    chosen = &zone;
  }
  TIME_ZONE_INFORMATION rules{};
  if (!GetTimeZoneInformationForYear(utc_time.wYear,
                                     const_cast<DYNAMIC_TIME_ZONE_INFORMATION*>(chosen), &rules)) {
    Fail("GetTimeZoneInformationForYear", utc_seconds);
  }
  SYSTEMTIME local_time{};
  if (!SystemTimeToTzSpecificLocalTime(&rules, &utc_time, &local_time)) {
    Fail("SystemTimeToTzSpecificLocalTime", utc_seconds);
  }
  LocalTimeAt result;
  result.Time = CivilTime{local_time.wYear,
                          local_time.wMonth,
                          local_time.wDay,
                          local_time.wHour,
                          local_time.wMinute,
                          local_time.wSecond,
                          0};
  result.OffsetSeconds = CivilToUnixSeconds(result.Time) - utc_seconds;
  return result;
}

}  // namespace vd
