#include "service/sys_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/device_control.h"
#include "device/dos_attack_control.h"
#include "device/port_listener.h"
#include "device/reception_loop.h"
#include "fakes/eventually.h"
#include "fakes/fake_clock.h"
#include "fakes/loopback_transmitter.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "kernel_simulator.h"
#include "platform/host_file_system.h"

namespace vd {
namespace {

class SysThreadTest : public testing::Test {
 protected:
  // Ports listen on TCP port 0 (any free port) unless given.
  void Build(std::vector<int32_t> tcp_ports = {0, 0}) {
    settings_.Name = "Test Driver";
    for (size_t i = 0; i < tcp_ports.size(); ++i) {
      PortEntry entry;
      entry.PortNumber = static_cast<int32_t>(4001 + i);
      entry.Port = tcp_ports[i];
      entry.PortName = "Port " + std::to_string(i + 1);
      entry.FloodControl = std::make_shared<TDoSAttackControl>(clock_);
      settings_.Ports.push_back(entry);
    }
    signals_ = std::make_unique<TSignalBuffer>(fs_, clock_, events_, log_, settings_,
                                               dir_.Path() + "cache/", false);
    questions_ = std::make_unique<TQuestionsBuffer>(
        fs_, clock_, log_,
        TQuestionsBuffer::Options{dir_.Path() + "cache/", "Test Driver", "", false});
    loop_ = std::make_unique<TReceptionLoop>(
        TReceptionContext{settings_, clock_, *signals_, events_, log_, controls_,
                          [](uint16_t, const std::string&) { return true; }});
    thread_ = std::make_unique<TSys_Thr>(TSys_Thr::Collaborators{
        settings_, clock_, kernel_, *signals_, test_signals_, *questions_, events_, log_, *loop_});
  }

  void TearDown() override {
    thread_.reset();
    if (loop_) loop_->Stop();
  }

  void AddBufferedSignals(int count) {
    for (int i = 0; i < count; ++i) {
      TSignal signal;
      InitPortSignal(signal, 1, settings_, clock_);
      ASSERT_TRUE(signals_->AddSignal(signal));
    }
  }

  // Log lines equal to `line`, or starting with it.
  size_t LogCount(const std::string& line, bool prefix = false) const {
    const auto lines = log_.Lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
      return prefix ? l.starts_with(line) : l == line;
    }));
  }

  int32_t BoundPort(size_t i) const { return thread_->Listeners()[i]->Port(); }

  FakeClock clock_;
  ScopedTempDir dir_;
  HostFileSystem fs_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  RecordingSignalSink test_signals_;
  DriverSettings settings_;
  TListOfModules modules_;
  TKernelSettings kernel_{modules_};
  TDeviceParamControlBuffer controls_;
  std::unique_ptr<TSignalBuffer> signals_;
  std::unique_ptr<TQuestionsBuffer> questions_;
  std::unique_ptr<TReceptionLoop> loop_;
  std::unique_ptr<TSys_Thr> thread_;
};

TEST_F(SysThreadTest, PortsOpenOnceTheKernelReportsTheDriverActiveAndCloseInSleepMode) {
  Build();
  thread_->Begin();
  thread_->RunCycle();
  thread_->RunCycle();
  // Asleep from the start: nothing open, nothing said.
  for (const auto& listener : thread_->Listeners()) EXPECT_FALSE(listener->IsOpen());
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_TRUE(events_.Events().empty());

  kernel_.SetInactive(false);
  thread_->RunCycle();
  thread_->RunCycle();  // open already: nothing repeated
  EXPECT_EQ(LogCount("Is in sleep mode? False"), 1u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string port = "TCP" + std::to_string(BoundPort(i));
    EXPECT_TRUE(thread_->Listeners()[i]->IsOpen());
    EXPECT_TRUE(CanConnect(BoundPort(i)));
    EXPECT_EQ(events_.Count("Port " + port + " opened."), 1u) << port;
    EXPECT_EQ(LogCount("Port opened: " + port), 1u) << port;
  }

  // Closing names the configured port number, not the bound one.
  const int32_t first = BoundPort(0);
  thread_->BeginWait();
  kernel_.SetInactive(true);
  ASSERT_TRUE(thread_->WaitOver());  // the change ends the wait
  thread_->RunCycle();
  EXPECT_EQ(LogCount("Is in sleep mode? True"), 1u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string number = "TCP" + std::to_string(4001 + i);
    EXPECT_FALSE(thread_->Listeners()[i]->IsOpen());
    EXPECT_EQ(events_.Count("Port " + number + " closed."), 1u) << number;
    EXPECT_EQ(LogCount("Port closed: " + number), 1u) << number;
  }
  EXPECT_FALSE(CanConnect(first));
}

TEST_F(SysThreadTest, PortInUseIsReportedEachCycleWhileTheOtherPortsOpen) {
  TKernelSimOptions holds_a_port;  // listening on loopback, so that the port cannot be bound
  holds_a_port.TcpPort = 0;
  const TKernelSimulator blocker(holds_a_port);
  Build({blocker.TcpPort(), 0});
  thread_->Begin();
  kernel_.SetInactive(false);
  thread_->RunCycle();
  thread_->RunCycle();

  EXPECT_FALSE(thread_->Listeners()[0]->IsOpen());
  EXPECT_TRUE(thread_->Listeners()[1]->IsOpen());
  const auto events = events_.Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const RecordedEvent& e) {
                            return e.text == "System thread error." && e.is_error &&
                                   e.details.starts_with("EOSError - ");
                          }),
            2);
  EXPECT_EQ(LogCount("System thread exception: EOSError - ", true), 2u);
}

TEST_F(SysThreadTest, WaitEndsForEachReason) {
  struct Case {
    const char* name;
    int64_t advance_ms;
    int64_t set_utc_back_ms;
    bool flip_sleep_mode;
    bool terminate;
    bool over;
  };
  const Case cases[] = {
      {"one second in", 1000, 0, false, false, false},
      {"just before the period", 59000, 0, false, false, false},
      {"whole period", 60000, 0, false, false, true},
      {"clock set back", 1000, 5000, false, false, true},
      {"sleep mode changed", 1000, 0, true, false, true},
      {"terminated", 0, 0, false, true, true},
  };
  Build({});
  for (const Case& c : cases) {
    FakeClock clock;
    TSys_Thr thread(
        {settings_, clock, kernel_, *signals_, test_signals_, *questions_, events_, log_, *loop_});
    kernel_.SetInactive(true);
    thread.Begin();
    thread.RunCycle();
    thread.BeginWait();
    clock.Advance(c.advance_ms);
    clock.SetUtcMs(clock.UtcNowMs() - c.set_utc_back_ms);
    if (c.flip_sleep_mode) kernel_.SetInactive(false);
    if (c.terminate) thread.Terminate();
    EXPECT_EQ(thread.WaitOver(), c.over) << c.name;
  }
}

TEST_F(SysThreadTest, TestSignalEveryMinuteWhetherAsleepOrAwake) {
  Build({});
  thread_->Begin();
  thread_->RunCycle();
  for (int second = 1; second <= 150; ++second) {
    clock_.AdvanceSeconds(1);
    if (second == 90) kernel_.SetInactive(false);
    thread_->AfterPause();
  }
  const auto signals = test_signals_.Signals();
  ASSERT_EQ(signals.size(), 2u);  // at 60 s (asleep) and 120 s (awake)
  for (const TSignal& s : signals) {
    TSignal expected;
    expected.TimeIn = expected.TimeSource = s.TimeIn;
    expected.DriverName = "Test Driver";
    expected.SignalType = kTestSignalType;
    expected.CanalType = "?";
    EXPECT_EQ(s, expected);
  }
}

TEST_F(SysThreadTest, TestSignalFailuresAreReported) {
  struct Case {
    bool accepted;
    std::string raises;
    std::string event;
    std::string details;
  };
  const Case cases[] = {
      {true, "", "", ""},
      {false, "", "Manual test signal not added to buffer", ""},
      {true, "disk gone", "Error while trying to send manual test signal", "disk gone"},
  };
  Build({});
  thread_->Begin();
  for (const Case& c : cases) {
    events_.Clear();
    test_signals_.result = c.accepted;
    test_signals_.fail_with = c.raises;
    clock_.AdvanceSeconds(TSys_Thr::kTestSignalSeconds);
    thread_->RunCycle();
    const auto events = events_.Events();
    if (c.event.empty()) {
      EXPECT_TRUE(events.empty());
      continue;
    }
    ASSERT_EQ(events.size(), 1u) << c.event;
    EXPECT_EQ(std::tie(events[0].text, events[0].details, events[0].is_error),
              std::make_tuple(c.event, c.details, true));
  }
}

TEST_F(SysThreadTest, GrowingBufferIsReportedAfterThreeCyclesAtMostOncePerMinute) {
  const std::string text = "Amount of signals in buffer grows. Check the driver!";
  Build({0});
  thread_->Begin();
  // Seconds advanced and signals added before each cycle, and the events
  // counted after it.
  struct Step {
    int64_t seconds;
    int added;
    size_t events;
  };
  const Step steps[] = {
      {0, 1, 0},  {1, 1, 0},  {1, 1, 1},  // third growth: reported
      {1, 1, 1},  {30, 1, 1},             // throttled
      {30, 1, 2},                         // a minute after the first
      {1, 0, 2},                          // no growth rewinds the throttle
      {1, 1, 2},  {1, 1, 2},  {1, 1, 3},  // three more cycles: reported at once
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    clock_.AdvanceSeconds(steps[i].seconds);
    AddBufferedSignals(steps[i].added);
    thread_->RunCycle();
    EXPECT_EQ(events_.Count(text), steps[i].events) << "step " << i;
  }
}

TEST_F(SysThreadTest, StaleSignalsAreReportedWithTheirCount) {
  const std::string text = "Amount of not analysed signals for 5 minutes is 2 Check the driver!";
  Build({0});
  thread_->Begin();
  AddBufferedSignals(2);
  clock_.AdvanceSeconds(200);
  thread_->RunCycle();
  EXPECT_EQ(events_.Count(text), 0u);
  clock_.AdvanceSeconds(101);
  thread_->RunCycle();
  EXPECT_EQ(events_.Count(text), 1u);
}

TEST_F(SysThreadTest, RunningThreadFollowsTheSleepModeAndClosesItsPortsWhenTerminated) {
  Build({0});
  thread_->Start();
  kernel_.SetInactive(false);
  // The wait notices the change within a pause.
  ASSERT_TRUE(Eventually([&] { return !events_.Events().empty(); }));
  const auto opened = events_.Events();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_NE(opened[0].text.find(" opened."), std::string::npos);

  thread_->Terminate();
  thread_->WaitFor();  // a thread deaf to Terminate hangs here until ctest's time-out
  EXPECT_EQ(events_.Count("Port TCP4001 closed."), 1u);
}

}  // namespace
}  // namespace vd
