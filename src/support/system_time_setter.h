#pragma once

#include <cstdint>

namespace vd {

// Sets the host's system clock. Production: platform/system_time.h (a refusal
// for lack of privilege is ignored); tests: a recorder. No test may change the
// machine's clock.
class ISystemTimeSetter {
 public:
  virtual ~ISystemTimeSetter() = default;

  // Sets the system's UTC clock to the given second. Returns false when the
  // system refused; raises EOSError for any other failure.
  virtual bool SetSystemTimeUtc(int64_t utc_seconds) = 0;
};

}  // namespace vd
