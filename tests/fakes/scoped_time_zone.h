#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#ifdef _WIN32
#include <gtest/gtest.h>

#include "platform/local_time.h"
#endif

namespace vd {

// Sets the process's TZ for the lifetime of the object and restores the
// previous value afterwards, so time tests run under fixed zone rules. On
// Windows the process uses the matching zone of the system's database.
class ScopedTimeZone {
 public:
#ifdef _WIN32
  // Windows zones have names of their own: the zones the tests use, mapped.
  explicit ScopedTimeZone(const std::string& zone) {
    if (zone == "Europe/Warsaw") {
      UseTimeZoneRules(L"Central European Standard Time");
    } else if (zone == "CET-1") {
      UseTimeZoneRules(L"W. Central Africa Standard Time");  // UTC+1 all year
    } else {
      ADD_FAILURE() << "no Windows zone for " << zone;
    }
  }
  ~ScopedTimeZone() { UseTimeZoneRules(L""); }
#else
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
#endif
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace vd
