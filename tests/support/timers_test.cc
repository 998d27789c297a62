#include "support/timers.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "fakes/fake_clock.h"

namespace vd {
namespace {

// Each case runs its steps on a stopped countdown of 1000 ms ("+N": N ms
// pass; "interval": SetInterval to 2 s; "asked": IsRunning), then reads the
// milliseconds left and whether it counts.
TEST(TimersTest, CountdownStopsResumesExpiresAndTakesNewIntervals) {
  const struct {
    const char* steps;
    int64_t remaining_ms;
    bool running;
  } cases[] = {
      {"start +400 stop +5000 start", 600, true},
      {"start +1500 asked start +100", 0, false},  // expired: Start does not resume it
      {"start +1500 restart +200", 800, true},
      {"start +300 interval +500", 2000, false},
      {"start +300 reset +500", 1000, false},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    const auto timer = NewCountdownTimer(clock, true, false, 1000);
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      if (step[0] == '+') clock.Advance(std::stoll(step.substr(1)));
      if (step == "start") timer->Start();
      if (step == "stop") timer->Stop();
      if (step == "restart") timer->Restart();
      if (step == "reset") timer->Reset();
      if (step == "interval") timer->SetInterval(false, 2);
      EXPECT_TRUE(step != "asked" || !timer->IsRunning()) << c.steps;
    }
    EXPECT_EQ(timer->GetRemaining(true), c.remaining_ms) << c.steps;
    EXPECT_EQ(timer->IsRunning(), c.running) << c.steps;
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
