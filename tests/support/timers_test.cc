#include "support/timers.h"

#include <gtest/gtest.h>

#include <functional>

#include "fakes/fake_clock.h"

namespace vd {
namespace {

// Each case runs its steps on a stopped countdown of 1000 ms, then reads the
// milliseconds left and whether it counts.
TEST(TimersTest, CountdownStopsResumesExpiresAndTakesNewIntervals) {
  const struct {
    const char* name;
    std::function<void(ICountdownTimer&, FakeClock&)> steps;
    int64_t remaining_ms;
    bool running;
  } cases[] = {
      {"stopped at 400 and started later",
       [](ICountdownTimer& t, FakeClock& c) {
         t.Start();
         c.Advance(400);
         t.Stop();
         c.Advance(5000);
         t.Start();
       },
       600, true},
      {"expired, then Start",
       [](ICountdownTimer& t, FakeClock& c) {
         t.Start();
         c.Advance(1500);
         EXPECT_FALSE(t.IsRunning());  // stops by itself once asked
         t.Start();
         c.Advance(100);
       },
       0, false},
      {"expired, then Restart",
       [](ICountdownTimer& t, FakeClock& c) {
         t.Start();
         c.Advance(1500);
         t.Restart();
         c.Advance(200);
       },
       800, true},
      {"SetInterval while running",
       [](ICountdownTimer& t, FakeClock& c) {
         t.Start();
         c.Advance(300);
         t.SetInterval(false, 2);
         c.Advance(500);
       },
       2000, false},
      {"Reset while running",
       [](ICountdownTimer& t, FakeClock& c) {
         t.Start();
         c.Advance(300);
         t.Reset();
         c.Advance(500);
       },
       1000, false},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    const auto timer = NewCountdownTimer(clock, true, false, 1000);
    c.steps(*timer, clock);
    EXPECT_EQ(timer->GetRemaining(true), c.remaining_ms) << c.name;
    EXPECT_EQ(timer->IsRunning(), c.running) << c.name;
  }
}

TEST(TimersTest, StopwatchSetTimeStopsAtTheNewValueAndResetReturnsToIt) {
  FakeClock clock;
  TStopwatch watch(clock, true);
  clock.Advance(250);
  EXPECT_EQ(watch.SetTime(false, 5), 5000 - clock.MonotonicMs());
  EXPECT_FALSE(watch.IsRunning());
  watch.Start();
  clock.Advance(100);
  EXPECT_EQ(watch.GetElapsed(true), 5100);
  watch.Reset();
  clock.Advance(100);
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsed(false), 5);
  EXPECT_EQ(watch.GetStartValue(true), 5000);
  watch.Restart();
  clock.Advance(1999);
  EXPECT_EQ(watch.GetElapsed(false), 6);  // 6999 ms, in whole seconds
}

}  // namespace
}  // namespace vd
