#include "support/timers.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"

namespace vd {
namespace {

struct TimersTest : testing::Test {
  FakeClock clock_;
};

TEST_F(TimersTest, StopwatchCountsOnlyWhileRunningFromItsStartValue) {
  TStopwatch watch(clock_, /*start_running=*/false, /*in_milliseconds=*/false, 5);
  watch.Start();
  clock_.Advance(1999);
  watch.Start();                          // no effect while running
  EXPECT_EQ(watch.GetElapsed(false), 6);  // 6.999 s: truncated, not rounded
  EXPECT_EQ(watch.Stop(), 6999);
  clock_.Advance(10000);
  watch.Start();
  clock_.Advance(1);
  EXPECT_EQ(watch.GetElapsed(true), 7000);
  watch.Restart();
  clock_.Advance(100);
  EXPECT_EQ(watch.GetElapsed(true), 5100);
}

TEST_F(TimersTest, ExpiredCountdownStopsAndOnlyRestartRunsItAgain) {
  auto timer = NewCountdownTimer(clock_, true, true, 1000);
  clock_.Advance(1500);
  EXPECT_EQ(timer->GetRemaining(true), 0);
  timer->Start();
  EXPECT_FALSE(timer->IsRunning());
  timer->Restart();
  clock_.Advance(999);
  EXPECT_EQ(timer->GetRemaining(false), 0);  // under a second reads as 0 ...
  EXPECT_TRUE(timer->IsRunning());           // ... while the timer still runs
  clock_.Advance(1);
  EXPECT_FALSE(timer->IsRunning());  // asking alone notices the expiry
}

TEST_F(TimersTest, CountdownStopKeepsTheElapsedTimeAndSetIntervalClearsIt) {
  auto timer = NewCountdownTimer(clock_, true, true, 1000);
  clock_.Advance(400);
  timer->Stop();
  clock_.Advance(50000);
  timer->Start();
  clock_.Advance(100);
  EXPECT_EQ(timer->GetRemaining(true), 500);
  timer->SetInterval(false, 2);
  clock_.Advance(300);
  EXPECT_EQ(timer->GetRemaining(true), 2000);  // cleared and stopped
}

}  // namespace
}  // namespace vd
