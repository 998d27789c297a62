// The real VolterDirectDrv as a child process against the Kernel simulator
// over loopback, in a temporary directory. Every wait is bounded; the bounds
// are generous so that sanitizer builds pass too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver_process.h"
#include "e2e/e2e_driver.h"
#include "fakes/eventually.h"
#include "fakes/loopback_transmitter.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"
#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "notify_socket.h"

namespace vd {
namespace {

constexpr int kWaitMs = kEventuallyMs;

// Sends a signal message stamped now whose first extension carries tag.
bool SendSignal(const LoopbackTransmitter& transmitter, const std::string& tag) {
  const std::string message = StampedSignalMessage(tag);
  return transmitter.TrySend(message) == static_cast<ssize_t>(message.size());
}

struct RegistryOptions {
  int32_t KernelPort = 0;
  int32_t DevicePort = 0;
  bool LogSave = true;
  bool Pipe = false;
  int32_t SignalBufferCapacity = 0;  // 0: none in the file
};

// The capacity's values, and writes without flushing: the capacity, not the
// disk, is tested.
std::string CapacityValues(int32_t capacity) {
  if (capacity <= 0) return "";
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(capacity));
  return "\"SignalBufferCapacity\"=dword:" + std::string(text) +
         "\n\"FlushCacheWrites\"=dword:00000000\n";
}

// The driver as a child process with its output in driver.out of the
// directory, which each run starts afresh.
class DriverProcess : public TDriverProcess {
 public:
  // notify: the NOTIFY_SOCKET it reports to; empty: none, as outside systemd.
  DriverProcess(const std::string& registry, const std::string& dir, const std::string& notify = "")
      : TDriverProcess(Launch(registry, dir + "driver.out", notify)), output_(dir + "driver.out") {}
  std::optional<int> WaitExit(int64_t timeout_ms = kWaitMs) {
    return TDriverProcess::WaitExit(timeout_ms);
  }
  std::string Output() const { return ReadWholeFile(output_); }

 private:
  static TDriverLaunch Launch(const std::string& registry, const std::string& output,
                              const std::string& notify) {
    std::filesystem::remove(output);
    TDriverLaunch launch;
    launch.Executable = VD_DRIVER_EXECUTABLE;
    launch.Arguments = {"--registry", registry};
    launch.OutputPath = output;
    launch.NotifyPath = notify;
    return launch;
  }

  const std::string output_;
};

class DriverEndToEndTest : public testing::Test {
 protected:
  std::string WriteRegistry(const RegistryOptions& o) {
    const std::string path = dir_.Path() + "registry.reg";
    std::ofstream(path, std::ios::binary) << DriverRegistry(
        dir_.Path(), o.KernelPort, o.DevicePort,
        std::string("\"LogSave\"=dword:0000000") + (o.LogSave ? "1" : "0") + "\n\"LogPath\"=\"" +
            dir_.Path() + "log/\"\n\"UseNamedPipeConnection\"=dword:0000000" +
            (o.Pipe ? "1" : "0") + "\n\"PipeDirectory\"=\"" + dir_.Path() + "\"\n" +
            CapacityValues(o.SignalBufferCapacity));
    return path;
  }

  static bool Registered(const TKernelSimulator& sim) {
    return sim.WaitFor(
        [](const TKernelSimulator& s) { return s.CountReceived(kFrameTypeRegistration) > 0; },
        kWaitMs);
  }

  size_t CachedSignalFiles() const {
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(
             dir_.Path() + "work/Temp/VolterDirectDrv_Cache", error)) {
      count += entry.path().extension() == ".sig" ? 1 : 0;
    }
    return count;
  }

  // The first extensions of the cached transmitter signals (the driver's
  // test signal has none).
  std::multiset<std::string> CachedTags() const {
    std::multiset<std::string> tags;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(
             dir_.Path() + "work/Temp/VolterDirectDrv_Cache", error)) {
      if (entry.path().extension() != ".sig") continue;
      InsertFirstExtension(ReadWholeFile(entry.path().string()), tags);
    }
    return tags;
  }

  // For a failed delivery: each expected tag acknowledged other than once,
  // with the answers the simulator gave to the frames that carried it.
  std::string DeliveryReport(const TKernelSimulator& sim,
                             const std::multiset<std::string>& expected) const {
    std::map<std::string, std::string> answers;
    for (const TSimFrame& f : sim.Received()) {
      std::multiset<std::string> tag;
      if (f.Frame.FrameType == kFrameTypeSignal) InsertFirstExtension(f.Frame.Data, tag);
      if (!tag.empty()) answers[*tag.begin()] += " " + std::to_string(f.AnswerDirection);
    }
    const std::multiset<std::string> acknowledged = AcknowledgedTags(sim);
    const std::multiset<std::string> cached = CachedTags();
    std::string report;
    for (const std::string& tag : std::set<std::string>(expected.begin(), expected.end())) {
      if (acknowledged.count(tag) == expected.count(tag)) continue;
      report += tag + ": acknowledged " + std::to_string(acknowledged.count(tag)) + ", cached " +
                std::to_string(cached.count(tag)) + ", answers" + answers[tag] + "\n";
    }
    return report;
  }

  ScopedTempDir dir_;
  const int32_t device_port_ = FreeLoopbackPort();
};

TEST_F(DriverEndToEndTest, KernelActiveOpensTheDevicePortAndInactiveClosesIt) {
  TKernelSimulator sim(SimOptions());
  DriverProcess driver(WriteRegistry({sim.TcpPort(), device_port_}), dir_.Path());
  ASSERT_TRUE(driver.Started());
  EXPECT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
  sim.SetMode("Inactive");
  EXPECT_TRUE(Eventually([&] { return !CanConnect(device_port_); })) << driver.Output();
  sim.SetMode("Active");
  EXPECT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
}

TEST_F(DriverEndToEndTest, MessageBecomesAnAcknowledgedSignalAndItsFileDisappears) {
  TKernelSimulator sim(SimOptions());
  DriverProcess driver(WriteRegistry({sim.TcpPort(), device_port_}), dir_.Path());
  ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
  LoopbackTransmitter transmitter(device_port_);
  ASSERT_TRUE(SendSignal(transmitter, "e2e-first"));
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("e2e-first") == 1; }))
      << driver.Output();
  EXPECT_TRUE(Eventually([&] { return CachedSignalFiles() == 0; }));
}

TEST_F(DriverEndToEndTest, SignalsUnacknowledgedAtAKillAreDeliveredAfterTheRestart) {
  constexpr int kSignals = 50;
  std::set<std::string> sent;
  {
    TKernelSimulator silent(SimOptions(TKernelSimPolicy::Kind::Never));
    DriverProcess driver(WriteRegistry({silent.TcpPort(), device_port_}), dir_.Path());
    ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
    LoopbackTransmitter transmitter(device_port_);
    for (int i = 0; i < kSignals; ++i) {
      sent.insert("kill-" + std::to_string(i));
      ASSERT_TRUE(SendSignal(transmitter, "kill-" + std::to_string(i)));
    }
    ASSERT_TRUE(Eventually([&] { return CachedSignalFiles() == kSignals; }))
        << CachedSignalFiles() << "\n"
        << driver.Output();
    driver.Signal(SIGKILL);
    ASSERT_TRUE(driver.WaitExit().has_value());
  }
  TKernelSimulator sim(SimOptions());
  DriverProcess restarted(WriteRegistry({sim.TcpPort(), device_port_}), dir_.Path());
  EXPECT_TRUE(Eventually([&] {
    const std::multiset<std::string> tags = AcknowledgedTags(sim);
    return std::set<std::string>(tags.begin(), tags.end()) == sent;
  })) << AcknowledgedTags(sim).size()
      << "\n"
      << restarted.Output();
  EXPECT_TRUE(Eventually([&] { return CachedSignalFiles() == 0; }));
}

// A Kernel that acknowledges nothing: the buffer takes exactly its capacity,
// refuses the next signal with the event, and delivers every one it took once
// the Kernel answers again. The driver's own test signal (one a minute) may
// take a place while the transmitter fills the buffer, so what was taken is
// read off the cached files.
TEST_F(DriverEndToEndTest, ConfiguredCapacityIsHeldThroughAnOutageAndDrainedAfterIt) {
  constexpr int kCapacity = 5000;
  TKernelSimulator sim(SimOptions(TKernelSimPolicy::Kind::Never));
  RegistryOptions options{sim.TcpPort(), device_port_};
  options.SignalBufferCapacity = kCapacity;
  DriverProcess driver(WriteRegistry(options), dir_.Path());
  ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
  LoopbackTransmitter transmitter(device_port_);
  for (int i = 0; i < kCapacity; ++i) {
    ASSERT_TRUE(SendSignal(transmitter, "cap-" + std::to_string(i)));
  }
  ASSERT_TRUE(Eventually([&] { return CachedSignalFiles() == kCapacity; }, 4 * kWaitMs))
      << CachedSignalFiles() << "\n"
      << driver.Output();
  ASSERT_TRUE(SendSignal(transmitter, "cap-refused"));
  EXPECT_TRUE(Eventually([&] {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path() + "log")) {
      if (ReadWholeFile(entry.path().string()).find("New signal NOT added:") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(CachedSignalFiles(), static_cast<size_t>(kCapacity));
  const std::multiset<std::string> taken = CachedTags();
  EXPECT_EQ(taken.count("cap-refused"), 0u);
  // At most a few minutes of filling, so at most a few test signals.
  EXPECT_GE(taken.size(), static_cast<size_t>(kCapacity - 5));

  sim.SetPolicy(TKernelSimPolicy{});
  // Polled by a count: copying thousands of records every few milliseconds
  // would hold the simulator up.
  EXPECT_TRUE(Eventually(
      [&] {
        return sim.CountAnswered(kFrameTypeSignal, kDirectionAcknowledge) >= taken.size() &&
               CachedSignalFiles() == 0;
      },
      4 * kWaitMs));
  EXPECT_EQ(AcknowledgedTags(sim), taken) << DeliveryReport(sim, taken) << driver.Output();
  EXPECT_TRUE(Eventually([&] {
    for (const TSimFrame& f : sim.Received()) {
      if (f.Frame.FrameType == 9 &&  // a system event
          f.Frame.Data.find("Event buffer size exceeded.") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
}

TEST_F(DriverEndToEndTest, SigtermSendsOneUnregistrationTellsSystemdAndExitsZero) {
  TKernelSimulator sim(SimOptions());
  TNotifySocket notify(dir_.Path() + "notify");
  DriverProcess driver(WriteRegistry({sim.TcpPort(), device_port_}), dir_.Path(), notify.Path());
  ASSERT_TRUE(notify.WaitFor("READY=1", kWaitMs)) << driver.Output();
  ASSERT_TRUE(Registered(sim)) << driver.Output();
  // The Kernel answers the unregistration with a header announcing 1000 data
  // bytes and then sends a byte a second: the stop ends by the
  // unregistration's 5 s all the same.
  sim.SetSilent(true);
  const auto sigterm = std::chrono::steady_clock::now();
  driver.Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", kWaitMs));
  ASSERT_TRUE(sim.WaitFor(
      [](const TKernelSimulator& s) { return s.CountReceived(kFrameTypeUnregistration) == 1; },
      kWaitMs));
  TOrvanFrame slow;
  slow.Direction = kDirectionRequest;
  slow.TransmittedDataSize = 1000;
  slow.HeaderCRC = CalculateHeaderCRC(slow);
  sim.SendRaw(SerializeFrame(slow));
  std::optional<int> status;
  for (int second = 0; second < 30 && !(status = driver.WaitExit(1000)); ++second) {
    sim.SendRaw("d");
  }
  const auto stop_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - sigterm)
                           .count();
  ASSERT_TRUE(status.has_value());
  EXPECT_LT(stop_ms, 7000) << driver.Output();
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0) << driver.Output();
  EXPECT_EQ(sim.CountReceived(kFrameTypeUnregistration), 1u);
  EXPECT_NE(driver.Output().find("Service stopped"), std::string::npos);
}

TEST_F(DriverEndToEndTest, LogSaveDecidesWhetherALogIsWritten) {
  for (const bool log_save : {false, true}) {
    TKernelSimulator sim(SimOptions());
    RegistryOptions options{sim.TcpPort(), device_port_};
    options.LogSave = log_save;
    DriverProcess driver(WriteRegistry(options), dir_.Path());
    ASSERT_TRUE(Registered(sim)) << driver.Output();
    driver.Signal(SIGTERM);
    ASSERT_TRUE(driver.WaitExit().has_value());
    EXPECT_EQ(std::filesystem::exists(dir_.Path() + "log"), log_save) << log_save;
  }
}

TEST_F(DriverEndToEndTest, LinkRunsOverTheLocalSocket) {
  TKernelSimOptions options = SimOptions();
  options.TcpPort = -1;
  options.UnixPath = dir_.Path() + "Lirra!";
  TKernelSimulator sim(options);
  RegistryOptions registry{0, device_port_};
  registry.Pipe = true;
  DriverProcess driver(WriteRegistry(registry), dir_.Path());
  ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
  LoopbackTransmitter transmitter(device_port_);
  ASSERT_TRUE(SendSignal(transmitter, "over-the-socket"));
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("over-the-socket") == 1; }))
      << driver.Output();
}

}  // namespace
}  // namespace vd
