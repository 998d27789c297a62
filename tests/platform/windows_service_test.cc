#include "platform/windows_service.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>
#include <vector>

namespace vd {
namespace {

using Status = TWindowsServiceStatus::Status;

// What the service manager is told, one status after the other.
class WindowsServiceStatusTest : public testing::Test {
 protected:
  std::vector<unsigned long> States() const {
    std::vector<unsigned long> states;
    for (const Status& s : reported_) states.push_back(s.State);
    return states;
  }

  std::vector<Status> reported_;
  TWindowsServiceStatus status_{[this](const Status& s) { reported_.push_back(s); }};
};

// The road of a service that starts, is paused and continued (the driver
// runs on), stops on request and reports its exit code.
TEST_F(WindowsServiceStatusTest, StartRunPauseContinueStopReachTheManagerInOrder) {
  status_.StartPending();
  EXPECT_EQ(status_.OnControl(SERVICE_CONTROL_PAUSE), static_cast<unsigned long>(NO_ERROR));
  status_.Ready();
  status_.OnControl(SERVICE_CONTROL_PAUSE);
  status_.OnControl(SERVICE_CONTROL_CONTINUE);
  EXPECT_EQ(status_.OnControl(SERVICE_CONTROL_SHUTDOWN),
            static_cast<unsigned long>(ERROR_CALL_NOT_IMPLEMENTED));
  std::thread stopper([this] { status_.OnControl(SERVICE_CONTROL_STOP); });
  status_.WaitForStopRequest();
  stopper.join();
  status_.Stopping();
  status_.Stopped(0);

  EXPECT_EQ(States(), (std::vector<unsigned long>{
                          SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_PAUSED, SERVICE_RUNNING,
                          SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  for (const Status& s : reported_) {
    const bool pending = s.State == SERVICE_START_PENDING || s.State == SERVICE_STOP_PENDING;
    EXPECT_EQ(s.WaitHintMs, pending ? 5000u : 0u) << s.State;
    EXPECT_EQ(s.ControlsAccepted,
              s.State == SERVICE_RUNNING || s.State == SERVICE_PAUSED
                  ? static_cast<unsigned long>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE)
                  : 0ul)
        << s.State;
  }
  // A pending state repeated advances its check point.
  EXPECT_EQ(reported_[4].CheckPoint + 1, reported_[5].CheckPoint);
  EXPECT_EQ(reported_.back().ExitCode, static_cast<unsigned long>(NO_ERROR));
}

TEST_F(WindowsServiceStatusTest, FailedStartStopsWithTheServiceSpecificExitCode) {
  status_.StartPending();
  status_.Stopped(1);
  EXPECT_EQ(States(), (std::vector<unsigned long>{SERVICE_START_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(reported_.back().ExitCode, static_cast<unsigned long>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(reported_.back().SpecificExitCode, 1u);
}

}  // namespace
}  // namespace vd
