// What operators rely on, with the real VolterDirectDrv as a child process
// against the Kernel simulator over loopback: the metrics endpoint, the
// configuration check, one driver per cache, vd-cache requeue and the
// watchdog pings. Every wait is bounded.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "buffers/signal_xml.h"
#include "e2e/driver_fixture.h"
#include "fakes/loopback_transmitter.h"
#include "metrics_scrape.h"
#include "support/version.h"

namespace vd {
namespace {

constexpr int kWaitMs = kEventuallyMs;
using Metrics = std::map<std::string, double>;

class OperationsEndToEndTest : public DriverTest {
 protected:
  std::string Registry(int32_t kernel_port) const {
    return DriverRegistry(
        dir_.Path(), kernel_port, device_port_,
        "\"Password\"=\"e2e-pass\"\n\"LogSave\"=dword:00000001\n\"LogPath\"=\"" + dir_.Path() +
            "log/\"\n"
            "\"FlushCacheWrites\"=dword:00000000\n\"MetricsAddress\"=\"127.0.0.1:" +
            std::to_string(metrics_port_) + "\"\n");
  }
  // Sends one signal message stamped now, tagged in its first extension.
  void SendSignal(const std::string& tag) const {
    LoopbackTransmitter(device_port_).Send(StampedSignalMessage(tag));
  }

  // Waits until the scraped figures satisfy condition (a failure of the test
  // otherwise); the last scrape.
  Metrics ScrapeUntil(const std::function<bool(Metrics&)>& condition) const {
    Metrics last;
    EXPECT_TRUE(Eventually([&] {
      if (auto scraped = ScrapeMetrics(metrics_port_)) last = std::move(*scraped);
      return condition(last);
    })) << Output();
    return last;
  }
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
  const auto driver = Start([&] { return Registry(kernel_port); }, true);
  Metrics m = ScrapeUntil([&](Metrics& s) { return s["volterdirect_listeners_open"] == 1; });
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
  SendSignal("ops-1");
  m = ScrapeUntil([&](Metrics& s) { return s[kPending] == 1 && s[kResent] >= 1; });
  EXPECT_EQ(m[kAdded], 1);
  EXPECT_EQ(m["volterdirect_signals_refused_total{port=\"1\",name=\"North\"}"], 0);
  EXPECT_EQ(m["volterdirect_cache_write_errors_total{buffer=\"signals\"}"], 0);
  EXPECT_GE(m["volterdirect_system_events_raised_total"], 1);  // the connection's events

  // The Kernel goes away: the link is down, the signal waits.
  sim.reset();
  m = ScrapeUntil([&](Metrics& s) { return s[kConnected] == 0 && s[kRegistered] == 0; });
  EXPECT_EQ(m[kPending], 1);
  const double silence = m["volterdirect_kernel_last_answer_age_seconds"];
  const double age = m[kOldest];
  m = ScrapeUntil([&](Metrics& s) {
    return s["volterdirect_kernel_last_answer_age_seconds"] >= silence + 1 && s[kOldest] >= age + 1;
  });
  EXPECT_GE(m["volterdirect_system_events_pending"], 1);  // the Kernel is away

  // Back, acknowledging: the signal leaves, counted once.
  sim = std::make_unique<TKernelSimulator>(SimOptions(TKernelSimPolicy::Kind::Always, kernel_port));
  m = ScrapeUntil([&](Metrics& s) { return s[kRegistered] == 1 && s[kPending] == 0; });
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

  const std::string good = Registry(5000);
  const struct {
    const char* name;
    std::optional<std::string> text;  // none: no file
    const char* error;
  } cases[] = {
      {"no file", std::nullopt, "EOSError - "},
      {"not a registry file", "REGEDIT4\n\"x\"=dword:nothex\n", "ERegistryException - "},
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
  const auto first = Start([&] { return Registry(sim.TcpPort()); }, true, "first.out");
  const std::string registry = dir_.Path() + "registry.reg";

  const auto [code, output] = RunToEnd({"--registry", registry}, "second.out");
  EXPECT_EQ(code, 1);
  EXPECT_NE(output.find("Error while starting: ECacheInUse - Cache directory " + Cache() +
                        " is in use by another process (process id " +
                        std::to_string(first->Pid()) + ")"),
            std::string::npos)
      << output;

  ASSERT_TRUE(first->Alive());
  SendSignal("after-second");
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("after-second") == 1; }))
      << Output("first.out");
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
    ASSERT_TRUE(notify_.WaitFor("READY=1", kWaitMs)) << Output("d.out");
    driver->Signal(SIGTERM);
    ASSERT_TRUE(driver->WaitExit(kWaitMs).has_value());
  }
  ASSERT_TRUE(std::filesystem::exists(Cache() + "0000AA01.sig.error"));
  const auto requeue = [&] {
    return RunToEnd({"--cache", Cache(), "requeue", "0000AA01.sig.error"}, "tool.out",
                    Program("vd-cache"))
        .first;
  };
  EXPECT_EQ(requeue(), 1) << ReadWholeFile(dir_.Path() + "tool.out");

  std::ofstream(Cache() + "0000AA01.sig.error", std::ios::binary) << document;
  EXPECT_EQ(requeue(), 0) << ReadWholeFile(dir_.Path() + "tool.out");
  TKernelSimulator sim(SimOptions(TKernelSimPolicy::Kind::Always));
  const auto driver = Start([&] { return Registry(sim.TcpPort()); }, true, "d.out");
  EXPECT_TRUE(Eventually([&] { return AcknowledgedTags(sim).count("repaired") == 1; }))
      << Output("d.out");
}

TEST_F(OperationsEndToEndTest, UnderASystemdWatchdogTheDriverPings) {
  const auto driver = Run({"--registry", WriteFile("r.reg", Registry(FreeLoopbackPort()))}, "d.out",
                          {"WATCHDOG_USEC=400000"});
  ASSERT_TRUE(notify_.WaitFor("READY=1", kWaitMs)) << Output("d.out");
  EXPECT_TRUE(notify_.WaitFor("WATCHDOG=1", kWaitMs));
  EXPECT_TRUE(notify_.WaitFor("WATCHDOG=1", kWaitMs));
}

}  // namespace
}  // namespace vd
