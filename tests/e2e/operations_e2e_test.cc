// What operators rely on, with the real VolterDirectDrv as a child process
// against the Kernel simulator over loopback: the metrics endpoint, the
// configuration check, one driver per cache, vd-cache requeue and the
// watchdog pings. Every wait is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "buffers/signal_xml.h"
#include "driver_process.h"
#include "e2e/e2e_driver.h"
#include "fakes/eventually.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"
#include "metrics_scrape.h"
#include "notify_socket.h"
#include "support/version.h"

namespace vd {
namespace {

constexpr int kWaitMs = kEventuallyMs;
using Metrics = std::map<std::string, double>;

// Sends one signal message tagged in its first extension; false when the
// port does not take it.
bool SendSignal(int32_t port, const std::string& tag) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string message = "[ABCD1234OPER2024010112000000|" + tag + "]";
  const bool sent = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    send(fd, message.data(), message.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(message.size());
  // Closed once the driver has read it: its answer to the peer closing is
  // to end the connection, after the message.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  close(fd);
  return sent;
}

class OperationsEndToEndTest : public testing::Test {
 protected:
  std::string Registry(int32_t kernel_port, const std::string& extra_driver_values = "") const {
    return DriverRegistry(dir_.Path(), kernel_port, device_port_,
                          "\"Password\"=\"e2e-pass\"\n\"LogSave\"=dword:00000000\n"
                          "\"FlushCacheWrites\"=dword:00000000\n\"MetricsAddress\"=\"127.0.0.1:" +
                              std::to_string(metrics_port_) + "\"\n" + extra_driver_values);
  }
  std::string WriteFile(const std::string& name, const std::string& text) const {
    std::ofstream(dir_.Path() + name, std::ios::binary) << text;
    return dir_.Path() + name;
  }
  std::unique_ptr<TDriverProcess> Run(const std::vector<std::string>& arguments,
                                      const std::string& output,
                                      std::vector<std::string> environment = {}) const {
    std::filesystem::remove(dir_.Path() + output);
    TDriverLaunch launch;
    launch.Executable = VD_DRIVER_EXECUTABLE;
    launch.Arguments = arguments;
    launch.OutputPath = dir_.Path() + output;
    launch.NotifyPath = notify_.Path();
    launch.Environment = std::move(environment);
    return std::make_unique<TDriverProcess>(launch);
  }
  // Runs to its end; the exit code (-1: did not end in time) and the output.
  std::pair<int, std::string> RunToEnd(const std::vector<std::string>& arguments,
                                       const std::string& output = "run.out") const {
    auto process = Run(arguments, output);
    const std::optional<int> status = process->WaitExit(kWaitMs);
    const int code = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    return {code, ReadWholeFile(dir_.Path() + output)};
  }
  std::string Cache() const { return dir_.Path() + "work/Temp/VolterDirectDrv_Cache/"; }

  // Waits until the scraped figures satisfy condition; the last scrape.
  Metrics ScrapeUntil(const std::function<bool(Metrics&)>& condition) const {
    Metrics last;
    Eventually([&] {
      if (auto scraped = ScrapeMetrics(metrics_port_)) last = std::move(*scraped);
      return condition(last);
    });
    return last;
  }

  ScopedTempDir dir_;
  const int32_t device_port_ = FreeLoopbackPort();
  const int32_t metrics_port_ = FreeLoopbackPort();
  TNotifySocket notify_{dir_.Path() + "notify"};
};

TEST_F(OperationsEndToEndTest, MetricsFollowASignalToItsAcknowledgementThroughAKernelOutage) {
  const char kPending[] = "volterdirect_signals_pending";
  const char kRegistered[] = "volterdirect_kernel_link_registered";
  const char kConnected[] = "volterdirect_kernel_link_connected";
  const char kAcknowledged[] = "volterdirect_kernel_frames_acknowledged_total";
  const char kResent[] = "volterdirect_kernel_frames_resent_total";
  const char kOldest[] = "volterdirect_oldest_pending_signal_age_seconds";
  const std::string kAdded = "volterdirect_signals_added_total{port=\"1\",name=\"North\"}";
  auto sim = std::make_unique<TKernelSimulator>(SimOptions(TKernelSimPolicy::Kind::Never));
  const int32_t kernel_port = sim->TcpPort();
  const auto driver = Run({"--registry", WriteFile("r.reg", Registry(kernel_port))}, "d.out");
  Metrics m = ScrapeUntil([&](Metrics& s) { return s["volterdirect_listeners_open"] == 1; });
  ASSERT_EQ(m["volterdirect_listeners_open"], 1) << ReadWholeFile(dir_.Path() + "d.out");
  EXPECT_EQ(m["volterdirect_listeners_configured"], 1);
  EXPECT_EQ(m[kRegistered], 1);
  EXPECT_EQ(m[kConnected], 1);
  EXPECT_EQ(m["volterdirect_sleep_mode"], 0);
  EXPECT_EQ(m["volterdirect_kernel_endpoint_info{endpoint=\"127.0.0.1:" +
              std::to_string(kernel_port) + "\"}"],
            1);
  EXPECT_GT(m["volterdirect_cache_free_bytes"], 0);
  EXPECT_EQ(m["volterdirect_build_info{version=\"" + std::string(kDriverVersion) + "\"}"], 1);
  // Arrival: pending, sent, and sent again while the Kernel keeps silent.
  const double acknowledged_before = m[kAcknowledged];
  ASSERT_TRUE(SendSignal(device_port_, "ops-1"));
  m = ScrapeUntil([&](Metrics& s) { return s[kPending] == 1 && s[kResent] >= 1; });
  EXPECT_EQ(m[kPending], 1);
  EXPECT_GE(m[kResent], 1);
  EXPECT_EQ(m[kAdded], 1);
  EXPECT_EQ(m["volterdirect_signals_refused_total{port=\"1\",name=\"North\"}"], 0);
  EXPECT_EQ(m["volterdirect_cache_write_errors_total{buffer=\"signals\"}"], 0);
  EXPECT_GE(m["volterdirect_system_events_raised_total"], 1);  // the connection's events

  // The Kernel goes away: the link is down, the signal waits.
  sim.reset();
  m = ScrapeUntil([&](Metrics& s) { return s[kConnected] == 0 && s[kRegistered] == 0; });
  EXPECT_EQ(m[kConnected], 0);
  EXPECT_EQ(m[kRegistered], 0);
  EXPECT_EQ(m[kPending], 1);
  const double silence = m["volterdirect_kernel_last_answer_age_seconds"];
  const double age = m[kOldest];
  m = ScrapeUntil([&](Metrics& s) {
    return s["volterdirect_kernel_last_answer_age_seconds"] >= silence + 1 && s[kOldest] >= age + 1;
  });
  EXPECT_GE(m["volterdirect_kernel_last_answer_age_seconds"], silence + 1);
  EXPECT_GE(m[kOldest], age + 1);
  EXPECT_GE(m["volterdirect_system_events_pending"], 1);  // the Kernel is away

  // Back, acknowledging: the signal leaves, counted once.
  sim = std::make_unique<TKernelSimulator>(SimOptions(TKernelSimPolicy::Kind::Always, kernel_port));
  m = ScrapeUntil([&](Metrics& s) { return s[kRegistered] == 1 && s[kPending] == 0; });
  EXPECT_EQ(m[kRegistered], 1);
  EXPECT_EQ(m[kPending], 0);
  EXPECT_GT(m[kAcknowledged], acknowledged_before);
  EXPECT_EQ(m[kOldest], 0);
  EXPECT_EQ(m[kAdded], 1);  // counted once, whatever the resends
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(*sim).count("ops-1") == 1; }));
}

TEST_F(OperationsEndToEndTest, CheckConfigPrintsTheSettingsOrExactlyTheErrorOfAStart) {
  using std::filesystem::perm_options;
  const std::string good_file = WriteFile("good.reg", Registry(5000));
  std::filesystem::permissions(good_file, std::filesystem::perms::others_read,
                               perm_options::remove);
  const auto [code, output] = RunToEnd({"--check-config", "--registry", good_file});
  EXPECT_EQ(code, 0) << output;
  for (const std::string& part :
       {"Cache directory          " + Cache(), std::string("Password                 (set)"),
        std::string("Kernel1                  127.0.0.1:5000 (sim)"),
        "driver port 1            TCP " + std::to_string(device_port_) + ", PortNumber 1"}) {
    EXPECT_NE(output.find(part), std::string::npos) << part << "\n" << output;
  }
  EXPECT_EQ(output.find("e2e-pass"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "work"));
  std::filesystem::permissions(good_file, std::filesystem::perms::others_read, perm_options::add);
  const auto [warned_code, warned] = RunToEnd({"--check-config", "--registry", good_file});
  EXPECT_EQ(warned_code, 3) << warned;
  EXPECT_NE(warned.find("warning: registry file " + good_file + ": readable"), std::string::npos);

  const std::string good = Registry(5000);
  const auto without = [&](const std::string& line) {
    std::string text = good;
    text.erase(text.find(line), line.size());
    return text;
  };
  const struct {
    const char* name;
    std::optional<std::string> text;  // none: no file
    const char* error;
  } cases[] = {
      {"no file", std::nullopt, "EOSError - "},
      {"not a registry file", "REGEDIT4\n\"x\"=dword:nothex\n", "ERegistryException - "},
      {"no shared key", "REGEDIT4\n", "does not exist!"},
      {"active port without PortNumber", without("\"PortNumber\"=dword:00000001\n"),
       "Failed to get data for 'PortNumber'"},
      {"text for a dword",
       std::regex_replace(good, std::regex("\"Port\"=dword:[0-9a-f]+"), "\"Port\"=\"4001\""),
       "Invalid data type for 'Port'"},
      {"Kernel port not a number", std::regex_replace(good, std::regex("Port=5000"), "Port=x"),
       "EConvertError"},
      {"bad MetricsAddress",
       std::regex_replace(good, std::regex("127.0.0.1:[0-9]+\"\n"), "localhost\"\n"),
       "Invalid value for 'MetricsAddress'"},
  };
  for (const auto& c : cases) {
    const std::string path = dir_.Path() + "broken.reg";
    std::filesystem::remove(path);
    if (c.text) WriteFile("broken.reg", *c.text);
    const auto [check_code, check] = RunToEnd({"--check-config", "--registry", path});
    const auto [start_code, start] = RunToEnd({"--registry", path});
    EXPECT_EQ(check_code, 1) << c.name;
    EXPECT_EQ(start_code, 1) << c.name;
    EXPECT_NE(check.find(c.error), std::string::npos) << c.name << ": " << check;
    EXPECT_TRUE(check.starts_with("Error while starting: ")) << c.name << ": " << check;
    EXPECT_NE(start.find(check), std::string::npos) << c.name << ": " << start << " / " << check;
    EXPECT_FALSE(std::filesystem::exists(Cache())) << c.name;
  }
}

TEST_F(OperationsEndToEndTest, SecondDriverOnOneCacheIsRefusedAndTheFirstGoesOn) {
  TKernelSimulator sim(SimOptions(TKernelSimPolicy::Kind::Always));
  const std::string registry = WriteFile("r.reg", Registry(sim.TcpPort()));
  const auto first = Run({"--registry", registry}, "first.out");
  ASSERT_TRUE(notify_.WaitFor("READY=1", kWaitMs)) << ReadWholeFile(dir_.Path() + "first.out");

  const auto [code, output] = RunToEnd({"--registry", registry}, "second.out");
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("Error while starting: ECacheInUse - Cache directory " + Cache() +
                        " is in use by another process (process id " +
                        std::to_string(first->Pid()) + ")"),
            std::string::npos)
      << output;

  ASSERT_TRUE(first->Alive());
  ASSERT_TRUE(Eventually([&] { return SendSignal(device_port_, "after-second"); }));
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("after-second") == 1; }))
      << ReadWholeFile(dir_.Path() + "first.out");
}

TEST_F(OperationsEndToEndTest, RequeuedRepairedErrorFileIsDeliveredAfterARestart) {
  TSignal signal;
  signal.TimeIn = 1700000000;
  signal.TimeSource = signal.TimeIn;
  signal.HardwareNumber = "ABCD1234";
  signal.Code = "OPER";
  signal.Extension1 = "repaired";
  signal.DriverPort = 1;
  const std::string document = SignalDocument(signal);
  std::filesystem::create_directories(Cache());
  std::ofstream(Cache() + "0000AA01.sig", std::ios::binary)
      << document.substr(0, document.find("<Code>"));  // cut short
  const std::string registry = WriteFile("r.reg", Registry(FreeLoopbackPort()));
  {
    const auto driver = Run({"--registry", registry}, "d.out");
    ASSERT_TRUE(notify_.WaitFor("READY=1", kWaitMs)) << ReadWholeFile(dir_.Path() + "d.out");
    driver->Signal(SIGTERM);
    ASSERT_TRUE(driver->WaitExit(kWaitMs).has_value());
  }
  ASSERT_TRUE(std::filesystem::exists(Cache() + "0000AA01.sig.error"));
  const std::string tool = std::filesystem::path(VD_DRIVER_EXECUTABLE).parent_path() / "vd-cache";
  const auto requeue = [&] {
    TDriverLaunch launch;
    launch.Executable = tool;
    launch.Arguments = {"--cache", Cache(), "requeue", "0000AA01.sig.error"};
    launch.OutputPath = dir_.Path() + "tool.out";
    std::filesystem::remove(launch.OutputPath);
    TDriverProcess process(launch);
    const std::optional<int> status = process.WaitExit(kWaitMs);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  };
  EXPECT_EQ(requeue(), 1) << ReadWholeFile(dir_.Path() + "tool.out");

  std::ofstream(Cache() + "0000AA01.sig.error", std::ios::binary) << document;
  EXPECT_EQ(requeue(), 0) << ReadWholeFile(dir_.Path() + "tool.out");
  TKernelSimulator sim(SimOptions(TKernelSimPolicy::Kind::Always));
  const auto driver = Run({"--registry", WriteFile("r.reg", Registry(sim.TcpPort()))}, "d.out");
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("repaired") == 1; }))
      << ReadWholeFile(dir_.Path() + "d.out");
}

TEST_F(OperationsEndToEndTest, UnderASystemdWatchdogTheDriverPings) {
  const auto driver = Run({"--registry", WriteFile("r.reg", Registry(FreeLoopbackPort()))}, "d.out",
                          {"WATCHDOG_USEC=400000"});
  ASSERT_TRUE(notify_.WaitFor("READY=1", kWaitMs)) << ReadWholeFile(dir_.Path() + "d.out");
  EXPECT_TRUE(notify_.WaitFor("WATCHDOG=1", kWaitMs));
  EXPECT_TRUE(notify_.WaitFor("WATCHDOG=1", kWaitMs));
}

}  // namespace
}  // namespace vd
