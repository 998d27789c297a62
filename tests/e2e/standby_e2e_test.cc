// A redundant pair: two real drivers, each with its own cache and device
// port, under the Kernel simulator holding one of them active, and
// transmitter-sim commissioned with both receivers. Every wait is bounded.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "driver_process.h"
#include "e2e/driver_fixture.h"
#include "fakes/eventually.h"
#include "fakes/loopback_transmitter.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"

namespace vd {
namespace {

// One host of the pair: a driver named name with its own directory (cache,
// log, registry file) and device port.
struct Host {
  Host(const std::string& root, const std::string& name, int32_t kernel_port, int32_t port)
      : Dir(root + name + "/"), Name(name), Port(port) {
    std::filesystem::create_directories(Dir);
    std::string registry = DriverRegistry(
        Dir, kernel_port, port, "\"LogSave\"=dword:00000001\n\"LogPath\"=\"" + Dir + "log/\"\n");
    const std::string default_name = "\"Name\"=\"E2E Driver\"";
    registry.replace(registry.find(default_name), default_name.size(), "\"Name\"=\"" + name + "\"");
    std::ofstream(Dir + "registry.reg", std::ios::binary) << registry;
  }
  void Start() {
    TDriverLaunch launch;
    launch.Executable = VD_DRIVER_EXECUTABLE;
    launch.Arguments = {"--registry", Dir + "registry.reg"};
    launch.OutputPath = Dir + "driver.out";
    Process = std::make_unique<TDriverProcess>(launch);
  }
  // The transmitter signals in its cache.
  std::multiset<std::string> CachedTags() const {
    return vd::CachedTags(Dir + "work/Temp/VolterDirectDrv_Cache");
  }
  std::string Output() const { return Name + ":\n" + ReadWholeFile(Dir + "driver.out"); }

  const std::string Dir, Name;
  const int32_t Port;
  std::unique_ptr<TDriverProcess> Process;
};

bool IsStandby(const TKernelSimulator& sim, const std::string& name, size_t from = 0) {
  const std::vector<TSimModeChange> changes = sim.ModeChanges();
  return std::any_of(changes.begin() + static_cast<std::ptrdiff_t>(std::min(from, changes.size())),
                     changes.end(), [&](const TSimModeChange& c) {
                       return c.Driver == name && !c.Active && c.Reason == "standby";
                     });
}

// Kills the active driver A while the transmitter sends; B takes over, the
// transmitter moves to it, and A, restarted, stays standby and delivers what
// it had cached. The Kernel acknowledges nothing before the kill, so that A
// dies with signals in its cache and every acknowledgement is a first one.
TEST(StandbyEndToEndTest, StandbyTakesOverFromAKilledDriverAndNothingIsLost) {
  ScopedTempDir dir;
  TKernelSimOptions options = SimOptions(TKernelSimPolicy::Kind::Never);
  options.Standby = true;
  options.Preference = {"A"};
  TKernelSimulator sim(options);
  const int32_t port_a = FreeLoopbackPort();
  int32_t port_b = FreeLoopbackPort();
  for (int i = 0; i < 10 && port_b == port_a; ++i) port_b = FreeLoopbackPort();
  Host a(dir.Path(), "A", sim.TcpPort(), port_a), b(dir.Path(), "B", sim.TcpPort(), port_b);
  a.Start();
  b.Start();
  ASSERT_TRUE(Eventually([&] { return sim.ActiveDriver() == "A" && IsStandby(sim, "B"); }))
      << a.Output() << b.Output();
  ASSERT_TRUE(Eventually([&] { return CanConnect(a.Port); })) << a.Output();
  EXPECT_FALSE(CanConnect(b.Port));

  TDriverLaunch launch;
  launch.Executable = VD_TRANSMITTER_SIM_EXECUTABLE;
  launch.Arguments = {"--port", std::to_string(a.Port), "--secondary-port", std::to_string(b.Port)};
  launch.Arguments.insert(launch.Arguments.end(), {"--rate", "20", "--count", "300", "--duration",
                                                   "120", "--id", "pair", "--report"});
  launch.OutputPath = dir.Path() + "transmitter.out";
  TDriverProcess transmitter(launch);
  ASSERT_TRUE(Eventually([&] { return a.CachedTags().size() >= 20; })) << a.Output();

  a.Process->Signal(SIGKILL);
  ASSERT_TRUE(a.Process->WaitExit(kEventuallyMs).has_value());
  const std::multiset<std::string> cached_by_a = a.CachedTags();
  sim.SetPolicy(TKernelSimPolicy{});
  const size_t changes_at_kill = sim.ModeChanges().size();
  EXPECT_TRUE(Eventually([&] {
    for (const TSimFrame& f : sim.Received()) {
      if (f.Driver == "B" && f.Frame.Data.find(">pair-") != std::string::npos) return true;
    }
    return false;
  })) << b.Output();
  EXPECT_EQ(sim.ActiveDriver(), "B");

  a.Start();
  EXPECT_TRUE(Eventually([&] { return IsStandby(sim, "A", changes_at_kill); })) << a.Output();
  const std::optional<int> ended = transmitter.WaitExit(150000);
  ASSERT_TRUE(ended.has_value());
  const std::string report = ReadWholeFile(launch.OutputPath);

  // What the transmitter knows a receiver took, and the signals A had cached.
  std::set<std::string> taken(cached_by_a.begin(), cached_by_a.end());
  int by_a = 0, by_b = 0, unconfirmed = 0, not_taken = 0;
  double gap_s = -1;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string word, tag, fate, how, receiver;
    words >> word >> tag >> fate >> how >> receiver;
    if (line.rfind("longest time without a receiver: ", 0) == 0) gap_s = std::stod(line.substr(33));
    if (word != "signal") continue;
    if (fate == "taken") {
      taken.insert(tag);
      (receiver.ends_with(":" + std::to_string(a.Port)) ? by_a : by_b) += 1;
    }
    unconfirmed += fate == "unconfirmed" ? 1 : 0;
    not_taken += fate == "not" ? 1 : 0;
  }
  EXPECT_GT(by_a, 0) << report;
  EXPECT_GT(by_b, 0) << report;
  EXPECT_EQ(not_taken, 0) << report;

  EXPECT_TRUE(Eventually([&] {
    const std::multiset<std::string> acked = AcknowledgedTags(sim);
    return std::includes(acked.begin(), acked.end(), taken.begin(), taken.end()) &&
           a.CachedTags().empty() && b.CachedTags().empty();
  })) << a.Output()
      << b.Output();
  const std::multiset<std::string> acked = AcknowledgedTags(sim);
  size_t lost = 0, duplicates = 0;
  for (const std::string& tag : taken) lost += acked.count(tag) == 0 ? 1 : 0;
  for (const std::string& tag : std::set<std::string>(acked.begin(), acked.end())) {
    duplicates += acked.count(tag) - 1;
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(duplicates, 0u);
  EXPECT_EQ(sim.ActiveDriver(), "B");
  EXPECT_FALSE(CanConnect(a.Port));
  std::cout << std::fixed << std::setprecision(2) << "takeover: " << gap_s
            << " s without a receiver; taken by A " << by_a << ", by B " << by_b << ", unconfirmed "
            << unconfirmed << ", cached by A at the kill " << cached_by_a.size() << "; lost "
            << lost << ", duplicates " << duplicates << "\n";
}

}  // namespace
}  // namespace vd
