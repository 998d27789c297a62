#include "service/driver_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "buffers/signal_xml.h"
#include "fakes/fake_time_setter.h"
#include "fakes/fault_file_system.h"
#include "fakes/memory_settings_source.h"
#include "fakes/recording_service_events.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/kernel_messages.h"
#include "kernel_simulator.h"
#include "platform/cache_lock.h"
#include "platform/host_file_system.h"
#include "platform/socket_api.h"
#include "platform/system_clock.h"
#include "service/configuration.h"
#include "support/service_event_log.h"

namespace vd {
namespace {

struct SilentServiceEventLog final : IServiceEventLog {
  void WriteEvent(ServiceEvent, const std::string&) override {}
};

class DriverServiceTest : public testing::Test {
 protected:
  DriverServiceTest() {
    registry_.SetText(kSharedKeyPath, "Path", dir_.Path() + "work/");
    registry_.SetText(kDriverKeyPath, "LogPath", dir_.Path() + "log/");
    registry_.SetNumber(kDriverKeyPath, "FlushCacheWrites", 0);
    registry_.SetNumber(kDriverKeyPath, "LogSave", 1);
    registry_.SetText(kSharedKeyPath, "Kernel1",
                      "Name=sim;IP=127.0.0.1;Port=" + std::to_string(sim_.TcpPort()));
  }

  ScopedTempDir dir_;
  HostFileSystem fs_;
  FaultFileSystem faulty_{fs_};
  SystemClock clock_;
  SilentServiceEventLog events_;
  RecordingServiceNotifier notifier_;
  FakeTimeSetter time_setter_;
  MemorySettingsSource registry_;
  TKernelSimulator sim_{[] {
    TKernelSimOptions options;
    options.TcpPort = 0;
    return options;
  }()};
};

// A cache in which nothing can be created: the driver starts all the same,
// locks the directory itself, says so once, and delivers what is stored.
TEST_F(DriverServiceTest, ReadOnlyCacheStartsLockedAndDeliversWhatItHolds) {
  using Op = FaultFileSystem::Operation;
  const std::string cache = dir_.Path() + "work/Temp/VolterDirectDrv_Cache/";
  fs_.CreateDirectories(cache);
  fs_.WriteFile(cache + "00000001.sig", SignalDocument(TSignal{}), false);
  faulty_.on_call = [&cache](Op op, const std::string& path) {
    const bool creates =
        op != Op::kReadFile && op != Op::kListDirectory && op != Op::kCreateDirectories;
    return creates && path.rfind(cache, 0) == 0 ? EROFS : 0;
  };
  ProgramInfo program;
  program.executable_path = "/opt/volter/VolterDirectDrv";
  auto service = std::make_unique<TO_VolterDirectDrv>(
      TServiceHost{faulty_, clock_, events_, notifier_, time_setter_, PosixSocketApi(), program,
                   dir_.Path(), "127.0.0.1"});
  ASSERT_TRUE(
      service->ServiceStart([this] { return std::make_unique<MemorySettingsSource>(registry_); }));
  EXPECT_THROW(TCacheLock second(cache, TCacheLock::Kind::kDirectory), ECacheInUse);
  const auto read_only_event = [](const TKernelSimulator& s) {
    size_t n = 0;
    for (const TSimFrame& f : s.Received())
      n += f.Frame.Data.find("<Text>Cache directory is read-only;") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(sim_.WaitFor(
      [&](const TKernelSimulator& s) {
        return s.CountReceived(kFrameTypeSignal) > 0 && read_only_event(s) > 0;
      },
      30000));
  EXPECT_TRUE(service->ServiceStop());
  EXPECT_EQ(read_only_event(sim_), 1u);
  service.reset();
  std::string log;  // every session log file
  for (const std::string& file : fs_.ListDirectory(dir_.Path() + "log/"))
    log += fs_.ReadFile(dir_.Path() + "log/" + file, 1 << 20);
  const size_t line = log.find("Cache directory is read-only, the directory itself is locked");
  EXPECT_TRUE(line != std::string::npos && line == log.rfind("Cache directory is read-only"));
}

}  // namespace
}  // namespace vd
