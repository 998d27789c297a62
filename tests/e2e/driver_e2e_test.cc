// The real VolterDirectDrv as a child process against the Kernel simulator
// over loopback, in a temporary directory. Every wait is bounded; the bounds
// are generous so that sanitizer builds pass too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "e2e/driver_fixture.h"
#include "fakes/loopback_transmitter.h"
#include "kernel/crc32.h"
#include "kernel/frame_header.h"

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

class DriverEndToEndTest : public DriverTest {
 protected:
  // The driver on the registry of o, its output in driver.out (see Start).
  std::unique_ptr<TDriverProcess> StartDriver(const RegistryOptions& o, bool port_opens) {
    return Start(
        [&] {
          return DriverRegistry(dir_.Path(), o.KernelPort, device_port_,
                                std::string("\"LogSave\"=dword:0000000") + (o.LogSave ? "1" : "0") +
                                    "\n\"LogPath\"=\"" + dir_.Path() +
                                    "log/\"\n\"UseNamedPipeConnection\"=dword:0000000" +
                                    (o.Pipe ? "1" : "0") + "\n\"PipeDirectory\"=\"" + dir_.Path() +
                                    "\"\n" + CapacityValues(o.SignalBufferCapacity));
        },
        port_opens);
  }

  static bool Registered(const TKernelSimulator& sim) {
    return sim.WaitFor(
        [](const TKernelSimulator& s) { return s.CountReceived(kFrameTypeRegistration) > 0; },
        kWaitMs);
  }

  size_t CachedSignalFiles() const { return vd::CachedSignalFiles(Cache()); }
};

// A Kernel that acknowledges nothing: the buffer takes exactly its capacity,
// refuses the next signal with the event, and delivers every one it took once
// the Kernel answers again. The driver's own test signal (one a minute) may
// take a place while the transmitter fills the buffer, so what was taken is
// read off the cached files.
TEST_F(DriverEndToEndTest, ConfiguredCapacityIsHeldThroughAnOutageAndDrainedAfterIt) {
  constexpr int kCapacity = 5000;
  TKernelSimulator sim(SimOptions(TKernelSimPolicy::Kind::Never));
  RegistryOptions options{sim.TcpPort()};
  options.SignalBufferCapacity = kCapacity;
  const auto driver = StartDriver(options, true);
  LoopbackTransmitter transmitter(device_port_);
  for (int i = 0; i < kCapacity; ++i) {
    ASSERT_TRUE(SendSignal(transmitter, "cap-" + std::to_string(i)));
  }
  ASSERT_TRUE(Eventually([&] { return CachedSignalFiles() == kCapacity; }, 4 * kWaitMs))
      << CachedSignalFiles() << "\n"
      << Output();
  ASSERT_TRUE(SendSignal(transmitter, "cap-refused"));
  EXPECT_TRUE(Eventually([&] { return Log().find("New signal NOT added:") != std::string::npos; }));
  EXPECT_EQ(CachedSignalFiles(), static_cast<size_t>(kCapacity));
  const std::multiset<std::string> taken = CachedTags(Cache());
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
  EXPECT_EQ(AcknowledgedTags(sim), taken) << Output();
  EXPECT_TRUE(Eventually([&] {
    for (const TSimFrame& f : sim.Received()) {
      if (f.Frame.FrameType == kFrameTypeSystemEvent &&
          f.Frame.Data.find("Event buffer size exceeded.") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
}

// SIGINT (Ctrl-C in a terminal) stops the driver as SIGTERM does. The Kernel
// answers the unregistration with a header announcing 1000 data bytes and
// then sends a byte a second: the stop ends by the unregistration's 5 s all
// the same.
TEST_F(DriverEndToEndTest, SigtermOrSigintSendsOneUnregistrationTellsSystemdAndExitsZero) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number);
    std::filesystem::remove_all(dir_.Path() + "log");
    notify_.Drain();
    TKernelSimulator sim(SimOptions());
    const auto driver = StartDriver({sim.TcpPort()}, false);
    ASSERT_TRUE(notify_.WaitFor("READY=1", kWaitMs)) << Output();
    ASSERT_TRUE(Registered(sim)) << Output();
    sim.SetSilent(true);
    const auto signalled = std::chrono::steady_clock::now();
    driver->Signal(signal_number);
    EXPECT_TRUE(notify_.WaitFor("STOPPING=1", kWaitMs));
    ASSERT_TRUE(sim.WaitFor(
        [](const TKernelSimulator& s) { return s.CountReceived(kFrameTypeUnregistration) == 1; },
        kWaitMs));
    TOrvanFrame slow;
    slow.Direction = kDirectionRequest;
    slow.TransmittedDataSize = 1000;
    slow.HeaderCRC = CalculateHeaderCRC(slow);
    sim.SendRaw(SerializeFrame(slow));
    std::optional<int> status;
    for (int second = 0; second < 30 && !(status = driver->WaitExit(1000)); ++second) {
      sim.SendRaw("d");
    }
    const auto stop_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - signalled)
                             .count();
    ASSERT_TRUE(status.has_value());
    EXPECT_LT(stop_ms, 7000) << Output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << Output();
    EXPECT_EQ(sim.CountReceived(kFrameTypeUnregistration), 1u);
    const std::string output = Output();
    EXPECT_LT(output.find("Service started"), output.find("Service stopped")) << output;
    EXPECT_NE(output.find("Service stopped"), std::string::npos) << output;
    // The session log opens with the start and closes with the stop.
    const std::string log = Log();
    EXPECT_LT(log.find("Service start"), log.find("Service stop")) << log;
    EXPECT_NE(log.find("Service stop"), std::string::npos) << log;
  }
}

// LogSave 1 writes one: see the SIGTERM test.
TEST_F(DriverEndToEndTest, LogSaveOffWritesNoLog) {
  TKernelSimulator sim(SimOptions());
  RegistryOptions options{sim.TcpPort()};
  options.LogSave = false;
  const auto driver = StartDriver(options, false);
  ASSERT_TRUE(Registered(sim)) << Output();
  driver->Signal(SIGTERM);
  ASSERT_TRUE(driver->WaitExit(kWaitMs).has_value());
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "log"));
}

TEST_F(DriverEndToEndTest, LinkRunsOverTheLocalSocket) {
  TKernelSimOptions options = SimOptions();
  options.TcpPort = -1;
  options.UnixPath = dir_.Path() + "Lirra!";
  TKernelSimulator sim(options);
  RegistryOptions registry{0};
  registry.Pipe = true;
  const auto driver = StartDriver(registry, true);
  LoopbackTransmitter transmitter(device_port_);
  ASSERT_TRUE(SendSignal(transmitter, "over-the-socket"));
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("over-the-socket") == 1; }))
      << Output();
}

}  // namespace
}  // namespace vd
