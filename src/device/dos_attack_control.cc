#include "device/dos_attack_control.h"

#include "support/clock.h"

namespace vd {

TDoSAttackControl::TDoSAttackControl(const IClock& clock) : clock_(clock) {}

bool TDoSAttackControl::Check(bool& report, int32_t& ignored) {
  std::lock_guard<std::mutex> guard(lock_);
  // Read under the lock so that concurrent calls see the clock in order.
  const int64_t now = clock_.Ticks(false);
  bool accept;
  if (invalid_count_ >= kAcceptedBeforeIgnoring && last_invalid_time_ + kQuietSeconds >= now) {
    report = last_report_time_ + kReportIntervalSeconds < now;
    if (report) last_report_time_ = now;
    if (invalid_count_ < std::numeric_limits<int32_t>::max()) ++invalid_count_;
    ignored = invalid_count_ - kAcceptedBeforeIgnoring;
    accept = false;
  } else {
    if (invalid_count_ >= kAcceptedBeforeIgnoring) invalid_count_ = 0;
    ++invalid_count_;
    report = false;
    last_report_time_ = kNever;
    ignored = 0;
    accept = true;
  }
  last_invalid_time_ = now;
  return accept;
}

}  // namespace vd
