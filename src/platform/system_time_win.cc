#include <windows.h>

#include <string>

#include "platform/system_time.h"
#include "platform/windows_error.h"
#include "support/time_utils.h"

namespace vd {

bool SystemTimeSetter::SetSystemTimeUtc(int64_t utc_seconds) {
  const CivilTime utc = UnixSecondsToCivil(utc_seconds);
  if (utc.year < 1601)
    throw MakeWindowsError(ERROR_INVALID_PARAMETER, "SetSystemTime", std::to_string(utc_seconds));
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(utc.year);
  time.wMonth = static_cast<WORD>(utc.month);
  time.wDay = static_cast<WORD>(utc.day);
  time.wHour = static_cast<WORD>(utc.hour);
  time.wMinute = static_cast<WORD>(utc.minute);
  time.wSecond = static_cast<WORD>(utc.second);
  if (SetSystemTime(&time)) return true;
  const DWORD error = GetLastError();
  // Without SE_SYSTEMTIME_NAME the system refuses; that is no failure.
  if (error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED) return false;
  throw MakeWindowsError(error, "SetSystemTime", std::to_string(utc_seconds));
}

}  // namespace vd
