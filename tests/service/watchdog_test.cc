#include "service/watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "config/driver_settings.h"
#include "device/device_control.h"
#include "device/reception_loop.h"
#include "fakes/fake_clock.h"
#include "fakes/recording_service_events.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "support/heartbeat.h"

namespace vd {
namespace {

constexpr int64_t kLoopStallMs = 15000;
constexpr int64_t kOtherStallMs = 60000;

// The reception loop is the worker made to stall: a task that blocks it
// until the test lets go. The two other workers are plain heartbeats.
class WatchdogTest : public testing::Test {
 protected:
  std::unique_ptr<TWatchdog> NewWatchdog() {
    return std::make_unique<TWatchdog>(
        TWatchdog::Collaborators{clock_, notifier_, fs_, events_, log_},
        std::vector<TWatchdog::Worker>{{"reception loop", loop_.Heartbeat(), kLoopStallMs},
                                       {"Kernel link thread", link_, kOtherStallMs},
                                       {"system thread", system_, kOtherStallMs}},
        30000, dir_.Path() + kStallCountFileName);
  }

  // Runs the watchdog's rounds, one a second, for ms of the clock; the link
  // and system threads go on beating. What the last round found.
  bool Pass(TWatchdog& watchdog, int64_t ms) {
    bool alive = true;
    for (int64_t passed = 0; passed < ms; passed += 1000) {
      clock_.Advance(1000);
      link_.Beat(clock_.MonotonicMs());
      system_.Beat(clock_.MonotonicMs());
      alive = watchdog.Check();
    }
    return alive;
  }

  size_t Pings() const {
    const auto all = notifier_.Notifications();
    return static_cast<size_t>(std::count(all.begin(), all.end(), "WATCHDOG=1"));
  }

  ~WatchdogTest() override { loop_.Stop(); }

  FakeClock clock_;
  ScopedTempDir dir_;
  HostFileSystem fs_;
  RecordingServiceNotifier notifier_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  RecordingSignalSink signals_;
  DriverSettings settings_;
  TDeviceParamControlBuffer controls_;
  TReceptionLoop loop_{TReceptionContext{settings_, clock_, signals_, events_, log_, controls_,
                                         [](uint16_t, const std::string&) { return true; }}};
  THeartbeat link_;
  THeartbeat system_;
};

TEST_F(WatchdogTest, StalledLoopStopsThePingsUntilItRunsAgainAndTheStallIsCountedOnce) {
  auto watchdog = NewWatchdog();
  EXPECT_EQ(watchdog->PingPeriodMs(), 15000);
  loop_.SweepNow();
  EXPECT_TRUE(Pass(*watchdog, 1000));
  // The whole process held up (stopped by a signal, a paused machine) shows
  // as a late round: it judges nothing and pings at once, and the loop,
  // running again, is not taken for stalled (the one stall counted below).
  clock_.Advance(kLoopStallMs + 2000);
  EXPECT_TRUE(watchdog->Check());
  EXPECT_EQ(Pings(), 2u);
  loop_.SweepNow();

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> blocked;
  auto stall = std::async(std::launch::async, [&] {
    loop_.RunOnLoop([&] {
      blocked.set_value();
      released.wait();
    });
  });
  blocked.get_future().wait();
  EXPECT_TRUE(Pass(*watchdog, kLoopStallMs - 1000));  // within its limit
  EXPECT_FALSE(Pass(*watchdog, 2000));
  const size_t pings = Pings();
  EXPECT_FALSE(Pass(*watchdog, 20000));
  clock_.Advance(kLoopStallMs + 2000);  // the process held up: the loop stays stalled
  EXPECT_FALSE(watchdog->Check());
  EXPECT_FALSE(Pass(*watchdog, kLoopStallMs + 1000));
  EXPECT_EQ(Pings(), pings);
  EXPECT_EQ(events_.Count("Worker thread stalled: reception loop."), 1u);
  EXPECT_EQ(watchdog->StallCount(), 1u);
  EXPECT_EQ(fs_.ReadFile(dir_.Path() + kStallCountFileName, 64), "1\n");

  release.set_value();
  stall.get();
  loop_.SweepNow();
  EXPECT_TRUE(watchdog->Check());
  EXPECT_EQ(Pings(), pings + 1);

  // The count goes on in the driver that the restart brings.
  EXPECT_EQ(NewWatchdog()->StallCount(), 1u);
}

// The watchdog's own thread pinging is checked on the real driver
// (OperationsEndToEndTest.UnderASystemdWatchdogTheDriverPings).
TEST_F(WatchdogTest, WorkerThatNeverBeatsCountsFromTheStart) {
  THeartbeat silent;
  TWatchdog watchdog(TWatchdog::Collaborators{clock_, notifier_, fs_, events_, log_},
                     {{"system thread", silent, kOtherStallMs}}, 30000, dir_.Path() + "stalls");
  EXPECT_TRUE(Pass(watchdog, kOtherStallMs));
  EXPECT_FALSE(Pass(watchdog, 1000));
}

}  // namespace
}  // namespace vd
