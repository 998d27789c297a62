#include "support/timers.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"

namespace vd {
namespace {

class StopwatchTest : public testing::Test {
 protected:
  FakeClock clock_;
};

TEST_F(StopwatchTest, CountsOnlyWhileRunningAndResumesWhereItStopped) {
  TStopwatch watch(clock_);
  clock_.Advance(500);
  EXPECT_EQ(watch.GetElapsed(true), 0);
  watch.Start();
  clock_.Advance(1999);
  EXPECT_EQ(watch.GetElapsed(true), 1999);
  EXPECT_EQ(watch.GetElapsed(false), 1);  // truncated, not rounded
  EXPECT_EQ(watch.Stop(), 1999);
  clock_.Advance(10000);
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsed(true), 1999);
  watch.Start();
  watch.Start();  // no effect while running
  clock_.Advance(1);
  EXPECT_EQ(watch.GetElapsed(true), 2000);
}

TEST_F(StopwatchTest, StartValueIsWhereResetAndRestartReturn) {
  TStopwatch watch(clock_, /*start_running=*/true, /*in_milliseconds=*/false, 5);
  EXPECT_EQ(watch.GetStartValue(true), 5000);
  clock_.Advance(250);
  EXPECT_EQ(watch.GetElapsed(true), 5250);
  watch.Reset();
  EXPECT_FALSE(watch.IsRunning());
  clock_.Advance(100);
  EXPECT_EQ(watch.GetElapsed(true), 5000);
  watch.Restart();
  EXPECT_TRUE(watch.IsRunning());
  clock_.Advance(100);
  EXPECT_EQ(watch.GetElapsed(true), 5100);
}

TEST_F(StopwatchTest, SetTimeStopsAndReturnsTheOffsetFromNow) {
  TStopwatch watch(clock_, true);
  EXPECT_EQ(watch.SetTime(false, 2), 2000 - clock_.MonotonicMs());
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsed(false), 2);
  EXPECT_EQ(watch.GetStartValue(false), 2);
}

class CountdownTimerTest : public testing::Test {
 protected:
  FakeClock clock_;
};

TEST_F(CountdownTimerTest, NotStartedTimerKeepsItsWholeInterval) {
  auto timer = NewCountdownTimer(clock_, false, false, 60);
  clock_.AdvanceSeconds(3600);
  EXPECT_EQ(timer->GetRemaining(false), 60);
  EXPECT_EQ(timer->GetInterval(true), 60000);
  EXPECT_FALSE(timer->IsRunning());
}

TEST_F(CountdownTimerTest, ExpiredTimerStopsAndOnlyRestartRunsItAgain) {
  auto timer = NewCountdownTimer(clock_, true, true, 1000);
  clock_.Advance(1500);
  EXPECT_EQ(timer->GetRemaining(true), 0);
  EXPECT_FALSE(timer->IsRunning());
  timer->Start();
  EXPECT_FALSE(timer->IsRunning());
  timer->Restart();
  EXPECT_TRUE(timer->IsRunning());
  clock_.Advance(999);
  EXPECT_EQ(timer->GetRemaining(true), 1);
  EXPECT_EQ(timer->GetRemaining(false), 0);  // under a second reads as 0 ...
  EXPECT_TRUE(timer->IsRunning());           // ... while the timer still runs
  clock_.Advance(1);
  EXPECT_FALSE(timer->IsRunning());  // asking alone notices the expiry
}

TEST_F(CountdownTimerTest, StopKeepsTheElapsedTime) {
  auto timer = NewCountdownTimer(clock_, true, true, 1000);
  clock_.Advance(400);
  timer->Stop();
  clock_.Advance(50000);
  timer->Start();
  EXPECT_EQ(timer->GetRemaining(true), 600);
  clock_.Advance(100);
  EXPECT_EQ(timer->GetRemaining(true), 500);
}

TEST_F(CountdownTimerTest, ResetAndSetIntervalClearTheElapsedTimeAndStop) {
  auto timer = NewCountdownTimer(clock_, true, true, 1000);
  clock_.Advance(400);
  timer->Reset();
  EXPECT_FALSE(timer->IsRunning());
  EXPECT_EQ(timer->GetRemaining(true), 1000);

  timer->Start();
  clock_.Advance(300);
  timer->SetInterval(false, 2);
  EXPECT_FALSE(timer->IsRunning());
  clock_.Advance(300);
  EXPECT_EQ(timer->GetRemaining(true), 2000);
}

}  // namespace
}  // namespace vd
