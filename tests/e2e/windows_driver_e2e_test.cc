// The real VolterDirectDrv.exe in --console mode as a child process (made by
// CreateProcess) against the Kernel simulator over loopback, configured by a
// registry export file; every path is written with backslashes, as a
// Windows user writes it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "driver_process.h"
#include "e2e/e2e_driver.h"
#include "e2e/windows_e2e.h"
#include "fakes/eventually.h"
#include "fakes/loopback_transmitter.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"

namespace vd {
namespace {

class WindowsDriverEndToEndTest : public testing::Test {
 protected:
  // The driver in the console, its output in driver.out; values: further
  // lines of the driver's key.
  std::unique_ptr<TDriverProcess> StartDriver(int32_t kernel_port, const std::string& values = "") {
    const std::string registry = dir_ + "registry.reg";
    std::ofstream(registry, std::ios::binary)
        << DriverRegistry(RegistryText(dir_), kernel_port, device_port_,
                          "\"LogSave\"=dword:00000001\n\"LogPath\"=\"" +
                              RegistryText(dir_ + "log\\") + "\"\n" + values);
    std::filesystem::remove(dir_ + "driver.out");
    TDriverLaunch launch;
    launch.Executable = DriverExecutable();
    launch.Arguments = {"--console", "--registry", registry};
    launch.OutputPath = dir_ + "driver.out";
    launch.StdinFromDevNull = true;
    return std::make_unique<TDriverProcess>(launch);
  }
  std::string Output() const { return ReadWholeFile(dir_ + "driver.out"); }

  size_t CachedSignalFiles() const {
    return vd::CachedSignalFiles(dir_ + "work\\Temp\\VolterDirectDrv_Cache");
  }

  ScopedTempDir temp_;
  const std::string dir_ = WindowsPath(temp_.Path());
  const int32_t device_port_ = FreeLoopbackPort();
};

TEST_F(WindowsDriverEndToEndTest, SignalsStoredDuringSilenceAreDeliveredAfterTerminateAndRestart) {
  constexpr int kSignals = 20;
  std::set<std::string> sent;
  {
    TKernelSimulator silent(SimOptions(TKernelSimPolicy::Kind::Never));
    const auto driver = StartDriver(silent.TcpPort());
    ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << Output();
    LoopbackTransmitter transmitter(device_port_);
    for (int i = 0; i < kSignals; ++i) {
      sent.insert("kill-" + std::to_string(i));
      transmitter.Send(StampedSignalMessage("kill-" + std::to_string(i)));
    }
    ASSERT_TRUE(Eventually([&] { return CachedSignalFiles() == kSignals; }))
        << CachedSignalFiles() << "\n"
        << Output();
    driver->Terminate();
    ASSERT_TRUE(driver->WaitExit(kEventuallyMs).has_value());
  }
  TKernelSimulator sim(SimOptions());
  const auto restarted = StartDriver(sim.TcpPort());
  EXPECT_TRUE(Eventually([&] {
    const std::multiset<std::string> tags = AcknowledgedTags(sim);
    return std::set<std::string>(tags.begin(), tags.end()) == sent;
  })) << AcknowledgedTags(sim).size()
      << "\n"
      << Output();
  EXPECT_TRUE(Eventually([&] { return CachedSignalFiles() == 0; }));
}

// The driver's named pipe is the local Kernel's, so this is the one test that
// serves it.
TEST_F(WindowsDriverEndToEndTest, LinkRunsOverTheNamedPipe) {
  TKernelSimOptions options = SimOptions();
  options.TcpPort = -1;
  options.PipePath = "\\\\.\\pipe\\Lirra!";
  TKernelSimulator sim(options);
  const auto driver = StartDriver(0, "\"UseNamedPipeConnection\"=dword:00000001\n");
  ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << Output();
  LoopbackTransmitter(device_port_).Send(StampedSignalMessage("over-the-pipe"));
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("over-the-pipe") == 1; }))
      << Output();
}

}  // namespace
}  // namespace vd
