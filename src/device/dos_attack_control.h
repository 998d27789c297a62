#pragma once

#include <cstdint>
#include <limits>
#include <mutex>

namespace vd {

class IClock;

// The invalid-frame rule of one device port: decides for each invalid frame
// whether it still becomes an "UNKNOWN" signal or is ignored, and when the
// ignoring is reported. One object per port entry, shared by all connection
// threads of that port; every method is safe to call from any thread.
class TDoSAttackControl {
 public:
  // The clock must outlive the object.
  explicit TDoSAttackControl(const IClock& clock);

  TDoSAttackControl(const TDoSAttackControl&) = delete;
  TDoSAttackControl& operator=(const TDoSAttackControl&) = delete;

  // Called once per invalid frame. Returns true when the frame is accepted
  // (becomes an "UNKNOWN" signal). report tells whether the invalid-frame
  // event is due now, ignored is the running number of ignored frames of the
  // current run (0 when accepted).
  bool Check(bool& report, int32_t& ignored);

  static constexpr int32_t kAcceptedBeforeIgnoring = 3;
  static constexpr int64_t kQuietSeconds = 60;
  static constexpr int64_t kReportIntervalSeconds = 60;

 private:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();

  const IClock& clock_;

  std::mutex lock_;
  int64_t last_invalid_time_ = kNever;  // guarded by lock_; tick seconds
  // Invalid frames of the current run; stops growing at the int32 maximum so
  // that an endless flood keeps being ignored.
  int32_t invalid_count_ = 0;          // guarded by lock_
  int64_t last_report_time_ = kNever;  // guarded by lock_; tick seconds
};

}  // namespace vd
