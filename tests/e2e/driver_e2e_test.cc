// The real VolterDirectDrv as a child process against the Kernel simulator
// over loopback, in a temporary directory. Every wait is bounded; the bounds
// are generous so that sanitizer builds pass too.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_process.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"
#include "kernel/kernel_messages.h"
#include "kernel_simulator.h"

namespace vd {
namespace {

constexpr int kWaitMs = 30000;

// Polls condition every 20 ms for at most timeout_ms; true when it held.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = kWaitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A transmitter: one loopback connection to a device port.
class Transmitter {
 public:
  explicit Transmitter(int32_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Transmitter() { close(fd_); }
  bool Connected() const { return connected_; }
  // A signal message whose first extension carries tag.
  bool SendSignal(const std::string& tag) const {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y%m%d%H%M%S", &utc);
    const std::string message = "[ABCD1234E2ET" + std::string(date) + "00|" + tag + "]";
    return send(fd_, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
  }

 private:
  int fd_;
  bool connected_ = false;
};

bool CanConnect(int32_t port) { return Transmitter(port).Connected(); }

// The tags of the signals the simulator acknowledged.
std::set<std::string> AcknowledgedTags(const TKernelSimulator& sim) {
  std::set<std::string> tags;
  for (const TSimFrame& f : sim.Received()) {
    if (f.Frame.FrameType != kFrameTypeSignal || f.AnswerDirection != kDirectionAcknowledge) {
      continue;
    }
    const size_t open = f.Frame.Data.find("<Extension1>");
    const size_t close = f.Frame.Data.find("</Extension1>");
    if (open != std::string::npos && close != std::string::npos) {
      tags.insert(f.Frame.Data.substr(open + 12, close - open - 12));
    }
  }
  return tags;
}

struct RegistryOptions {
  int32_t KernelPort = 0;
  int32_t DevicePort = 0;
  bool LogSave = true;
  bool Pipe = false;
  int32_t SignalBufferCapacity = 0;  // 0: none in the file
};

// The driver as a child process with its output in driver.out of the
// directory, which each run starts afresh.
class DriverProcess : public TDriverProcess {
 public:
  DriverProcess(const std::string& registry, const std::string& dir)
      : TDriverProcess(Launch(registry, dir + "driver.out")), output_(dir + "driver.out") {}
  std::optional<int> WaitExit(int64_t timeout_ms = kWaitMs) {
    return TDriverProcess::WaitExit(timeout_ms);
  }
  std::string Output() const { return ReadAll(output_); }

 private:
  static TDriverLaunch Launch(const std::string& registry, const std::string& output) {
    std::filesystem::remove(output);
    TDriverLaunch launch;
    launch.Executable = VD_DRIVER_EXECUTABLE;
    launch.Arguments = {"--registry", registry};
    launch.OutputPath = output;
    return launch;
  }

  const std::string output_;
};

class DriverEndToEndTest : public testing::Test {
 protected:
  std::string WriteRegistry(const RegistryOptions& o) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers]\n";
    text += "\"Path\"=\"" + dir_.Path() + "work/\"\n";
    text += "\"Kernel1\"=\"Name=sim;IP=127.0.0.1;Port=" + std::to_string(o.KernelPort) + "\"\n\n";
    text += "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver]\n";
    text += "\"Name\"=\"E2E Driver\"\n";
    text += std::string("\"LogSave\"=dword:0000000") + (o.LogSave ? "1" : "0") + "\n";
    text += "\"LogPath\"=\"" + dir_.Path() + "log/\"\n";
    text += std::string("\"UseNamedPipeConnection\"=dword:0000000") + (o.Pipe ? "1" : "0") + "\n";
    text += "\"PipeDirectory\"=\"" + dir_.Path() + "\"\n";
    if (o.SignalBufferCapacity > 0) {
      char capacity[16];
      std::snprintf(capacity, sizeof capacity, "%08x",
                    static_cast<unsigned>(o.SignalBufferCapacity));
      text += "\"SignalBufferCapacity\"=dword:" + std::string(capacity) + "\n";
      text += "\"FlushCacheWrites\"=dword:00000000\n";  // the capacity, not the disk, is tested
    }
    text += "\n";
    text += "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver\\Port1]\n";
    char port[16];
    std::snprintf(port, sizeof port, "%08x", static_cast<unsigned>(o.DevicePort));
    text += "\"IsActive\"=dword:00000001\n\"Port\"=dword:" + std::string(port) + "\n";
    text += "\"PortNumber\"=dword:00000001\n\"InactivityMessageTimeout\"=dword:00000258\n";
    text += "\"MaxReceiveSignals\"=dword:000186a0\n\"PortName\"=\"E2E port\"\n";
    const std::string path = dir_.Path() + "registry.reg";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  static TKernelSimOptions SimOptions(
      TKernelSimPolicy::Kind policy = TKernelSimPolicy::Kind::Always) {
    TKernelSimOptions options;
    options.TcpPort = 0;
    options.Policy.Mode = policy;
    return options;
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
  Transmitter transmitter(device_port_);
  ASSERT_TRUE(transmitter.SendSignal("e2e-first"));
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
    Transmitter transmitter(device_port_);
    for (int i = 0; i < kSignals; ++i) {
      sent.insert("kill-" + std::to_string(i));
      ASSERT_TRUE(transmitter.SendSignal("kill-" + std::to_string(i)));
    }
    ASSERT_TRUE(Eventually([&] { return CachedSignalFiles() == kSignals; }))
        << CachedSignalFiles() << "\n"
        << driver.Output();
    driver.Signal(SIGKILL);
    ASSERT_TRUE(driver.WaitExit().has_value());
  }
  TKernelSimulator sim(SimOptions());
  DriverProcess restarted(WriteRegistry({sim.TcpPort(), device_port_}), dir_.Path());
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim) == sent; }))
      << AcknowledgedTags(sim).size() << "\n"
      << restarted.Output();
  EXPECT_TRUE(Eventually([&] { return CachedSignalFiles() == 0; }));
}

// A Kernel that acknowledges nothing: the buffer takes exactly its capacity,
// refuses the next signal with the event, and delivers every one it took once
// the Kernel answers again.
TEST_F(DriverEndToEndTest, ConfiguredCapacityIsHeldThroughAnOutageAndDrainedAfterIt) {
  constexpr int kCapacity = 5000;
  TKernelSimulator sim(SimOptions(TKernelSimPolicy::Kind::Never));
  RegistryOptions options{sim.TcpPort(), device_port_};
  options.SignalBufferCapacity = kCapacity;
  DriverProcess driver(WriteRegistry(options), dir_.Path());
  ASSERT_TRUE(Eventually([&] { return CanConnect(device_port_); })) << driver.Output();
  Transmitter transmitter(device_port_);
  std::set<std::string> sent;
  for (int i = 0; i < kCapacity; ++i) {
    sent.insert("cap-" + std::to_string(i));
    ASSERT_TRUE(transmitter.SendSignal("cap-" + std::to_string(i)));
  }
  ASSERT_TRUE(Eventually([&] { return CachedSignalFiles() == kCapacity; }))
      << CachedSignalFiles() << "\n"
      << driver.Output();
  ASSERT_TRUE(transmitter.SendSignal("cap-refused"));
  EXPECT_TRUE(Eventually([&] {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path() + "log")) {
      if (ReadAll(entry.path().string()).find("New signal NOT added:") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(CachedSignalFiles(), static_cast<size_t>(kCapacity));

  sim.SetPolicy(TKernelSimPolicy{});
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim) == sent; }, 4 * kWaitMs))
      << AcknowledgedTags(sim).size() << "\n"
      << driver.Output();
  EXPECT_TRUE(Eventually([&] { return CachedSignalFiles() == 0; }));
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

TEST_F(DriverEndToEndTest, SigtermSendsOneUnregistrationAndExitsZero) {
  TKernelSimulator sim(SimOptions());
  DriverProcess driver(WriteRegistry({sim.TcpPort(), device_port_}), dir_.Path());
  ASSERT_TRUE(Registered(sim)) << driver.Output();
  driver.Signal(SIGTERM);
  const std::optional<int> status = driver.WaitExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0) << driver.Output();
  EXPECT_EQ(sim.CountReceived(kFrameTypeUnregistration), 1u);
  EXPECT_NE(driver.Output().find("Service stopped"), std::string::npos);
}

TEST_F(DriverEndToEndTest, FailedStartExitsOneWithTheStartErrorAndCreatesNoCache) {
  struct Case {
    const char* name;
    std::optional<std::string> contents;  // none: no file at all
    std::string error;
  };
  const Case cases[] = {
      {"not a registry file", "this is not a registry export\n",
       "Error while starting: ERegistryException - "},
      {"no file", std::nullopt, "Error while starting: EOSError - "},
      {"no shared key",
       "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n",
       "Error while starting: Exception - Registry key: "
       "HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers does not exist!"},
  };
  for (const Case& c : cases) {
    const std::string path = dir_.Path() + "broken.reg";
    std::filesystem::remove(path);
    if (c.contents) std::ofstream(path, std::ios::binary) << *c.contents;
    DriverProcess driver(path, dir_.Path());
    const std::optional<int> status = driver.WaitExit();
    ASSERT_TRUE(status.has_value()) << c.name;
    EXPECT_TRUE(WIFEXITED(*status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(*status), 1) << c.name;
    EXPECT_NE(driver.Output().find(c.error), std::string::npos)
        << c.name << ": " << driver.Output();
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "work")) << c.name;
  }
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
  Transmitter transmitter(device_port_);
  ASSERT_TRUE(transmitter.SendSignal("over-the-socket"));
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("over-the-socket") == 1; }))
      << driver.Output();
}

}  // namespace
}  // namespace vd
