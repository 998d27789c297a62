#include "device/dos_attack_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "fakes/fake_clock.h"

namespace vd {
namespace {

// Checks one invalid frame `gap` seconds after the previous one. Says "A"
// accepted or "I" ignored, "R" when the ignoring is reported, then the number
// of ignored frames of the run.
std::string CheckFrame(FakeClock& clock, int64_t gap, TDoSAttackControl& control) {
  clock.AdvanceSeconds(gap);
  bool report = true;
  int32_t ignored = -1;
  const bool accepted = control.Check(report, ignored);
  return (accepted ? "A" : "I") + std::string(report ? "R" : "") + std::to_string(ignored);
}

// One flood after another on the same port: a run of frames up to 60 s apart
// is accepted three times, then ignored and reported at most once a minute
// (61 s, not 60, after the last report); a quiet gap of more than 60 s starts
// a new run; frames a day apart are always accepted.
TEST(DoSAttackControlTest, FloodIsIgnoredAfterThreeFramesAndReportedOncePerMinute) {
  FakeClock clock;
  TDoSAttackControl control(clock);
  std::string outcomes;
  for (const int64_t gap : {1, 1, 1, 1, 1, 30, 29, 1, 59, 60, 61, 1, 1, 1})
    outcomes += CheckFrame(clock, gap, control) + " ";
  for (int day = 0; day < 5; ++day) outcomes += CheckFrame(clock, 86400, control) + " ";
  EXPECT_EQ(outcomes, "A0 A0 A0 IR1 I2 I3 I4 IR5 I6 IR7 A0 A0 A0 IR1 A0 A0 A0 A0 A0 ");
}

TEST(DoSAttackControlTest, ConcurrentFloodAcceptsThreeAndReportsOnce) {
  FakeClock clock;
  TDoSAttackControl control(clock);
  std::atomic<int> accepted{0}, reports{0};
  auto flood = [&] {
    for (int i = 0; i < 2000; ++i) {
      const std::string outcome = CheckFrame(clock, 0, control);
      accepted += outcome == "A0" ? 1 : 0;
      reports += outcome.starts_with("IR") ? 1 : 0;
    }
  };
  std::thread threads[] = {std::thread(flood), std::thread(flood), std::thread(flood),
                           std::thread(flood)};
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(accepted, 3);
  EXPECT_EQ(reports, 1);
  // No ignored frame went uncounted.
  EXPECT_EQ(CheckFrame(clock, 0, control), "I" + std::to_string(4 * 2000 - 2));
}

}  // namespace
}  // namespace vd
