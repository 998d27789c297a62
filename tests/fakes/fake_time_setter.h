#pragma once

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "support/errors.h"
#include "support/system_time_setter.h"

namespace vd {

// Records the seconds the system clock would be set to; never touches the
// machine's clock. Answers `accept`, or raises an EOSError when `fail` is set.
// Safe to use from any thread.
class FakeTimeSetter final : public ISystemTimeSetter {
 public:
  bool SetSystemTimeUtc(int64_t utc_seconds) override {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(utc_seconds);
    if (fail) throw MakeOSError(EINVAL, "clock_settime");
    return accept;
  }
  std::vector<int64_t> Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }

  bool accept = true;
  bool fail = false;

 private:
  mutable std::mutex mutex_;
  std::vector<int64_t> calls_;
};

}  // namespace vd
