#include "service/driver_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_time_setter.h"
#include "fakes/memory_settings_source.h"
#include "fakes/recording_service_events.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/kernel_messages.h"
#include "kernel_simulator.h"
#include "platform/host_file_system.h"
#include "platform/socket_api.h"
#include "platform/system_clock.h"
#include "service/configuration.h"

namespace vd {
namespace {

class DriverServiceTest : public testing::Test {
 protected:
  DriverServiceTest() {
    registry_.SetText(kSharedKeyPath, "Path", dir_.Path() + "work/");
    registry_.SetText(kDriverKeyPath, "LogPath", dir_.Path() + "log/");
    registry_.SetNumber(kDriverKeyPath, "FlushCacheWrites", 0);
  }

  void UseKernel(const TKernelSimulator& sim) {
    registry_.SetText(kSharedKeyPath, "Kernel1",
                      "Name=sim;IP=127.0.0.1;Port=" + std::to_string(sim.TcpPort()));
  }

  std::unique_ptr<TO_VolterDirectDrv> NewService() {
    ProgramInfo program;
    program.executable_path = "/opt/volter/VolterDirectDrv";
    return std::make_unique<TO_VolterDirectDrv>(TServiceHost{fs_, clock_, events_, notifier_,
                                                             time_setter_, PosixSocketApi(),
                                                             program, dir_.Path(), "127.0.0.1"});
  }

  bool Start(TO_VolterDirectDrv& service) {
    return service.ServiceStart(
        [this] { return std::make_unique<MemorySettingsSource>(registry_); });
  }

  ScopedTempDir dir_;
  HostFileSystem fs_;
  SystemClock clock_;
  RecordingServiceEventLog events_;
  RecordingServiceNotifier notifier_;
  FakeTimeSetter time_setter_;
  MemorySettingsSource registry_;
};

// Failed starts, LogSave off and the local socket are covered end to end
// (tests/e2e).
TEST_F(DriverServiceTest, StartAndStopReportEventsLogAndUnregisterFromTheKernel) {
  registry_.SetNumber(kDriverKeyPath, "LogSave", 1);
  TKernelSimOptions options;
  options.TcpPort = 0;
  TKernelSimulator sim(options);
  UseKernel(sim);
  auto service = NewService();
  ASSERT_TRUE(Start(*service));
  EXPECT_EQ(notifier_.Notifications(), std::vector<std::string>{"READY=1"});
  EXPECT_TRUE(fs_.Stat(dir_.Path() + "work/Temp/VolterDirectDrv_Cache").is_directory);
  ASSERT_TRUE(sim.WaitFor(
      [](const TKernelSimulator& s) { return s.CountReceived(kFrameTypeRegistration) > 0; },
      30000));

  EXPECT_TRUE(service->ServiceStop());
  EXPECT_EQ(notifier_.Notifications(), (std::vector<std::string>{"READY=1", "STOPPING=1"}));
  EXPECT_EQ(events_.Texts(), (std::vector<std::string>{"Service started", "Service stopped"}));
  EXPECT_EQ(sim.CountReceived(kFrameTypeUnregistration), 1u);

  service.reset();  // the log's closing block
  std::string log;
  for (const std::string& file : fs_.ListDirectory(dir_.Path() + "log/"))
    log += fs_.ReadFile(dir_.Path() + "log/" + file, 1 << 20);
  const size_t start = log.find("Service start");
  const size_t stop = log.find("Service stop");
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(stop, std::string::npos);
  EXPECT_LT(start, stop);
}

}  // namespace
}  // namespace vd
