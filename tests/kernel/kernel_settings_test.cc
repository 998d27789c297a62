#include "kernel/kernel_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kernel/list_of_modules.h"

namespace vd {
namespace {

// Runs a script of connection attempts ('a'), registrations ('r'), lost
// registrations ('u'), module lists of change index 9 received ('s') and looks
// at the module list's index ('i'); the endpoint index each attempt used, as
// digits, "-" when there was none, and each index looked at in parentheses.
std::string RunScript(TKernelSettings& settings, TListOfModules& modules,
                      const std::string& script) {
  std::string used;
  for (const char step : script) {
    if (step == 'r') settings.SetKernelRegistered(true);
    if (step == 'u') settings.SetKernelRegistered(false);
    if (step == 's') modules.SetChangeIndex(9);
    if (step == 'i') used += "(" + std::to_string(modules.GetChangeIndex()) + ")";
    if (step != 'a') continue;
    std::string host;
    int32_t port = 0;
    if (!settings.GetCurrentKernel(host, port)) return used + "-";
    const int32_t index = settings.CurrentIndex();
    EXPECT_EQ(host, settings.Kernels()[static_cast<size_t>(index)].IP);
    EXPECT_EQ(port, 4000 + index);
    used += static_cast<char>('0' + index);
  }
  return used;
}

class KernelSettingsTest : public testing::Test {
 protected:
  void AddEndpoints(int count) {
    for (int i = 0; i < count; ++i) {
      const int n = static_cast<int>(settings_.Kernels().size());
      settings_.AddKernelEndpoint(KernelEndpoint{"Kernel" + std::to_string(n + 1),
                                                 "10.0.0." + std::to_string(n), 4000 + n});
    }
  }
  std::string Run(const std::string& script) { return RunScript(settings_, modules_, script); }

  TListOfModules modules_;
  TKernelSettings settings_{modules_};
};

TEST_F(KernelSettingsTest,
       EndpointsRotateOneAttemptEachThreeAfterARegistrationAndAChangeZeroesTheModuleIndex) {
  struct Case {
    int endpoints;
    std::string script;
    std::string used;
  };
  const Case cases[] = {
      {0, "aa", "-"},
      {1, "aaaa", "0000"},
      {3, "aaaaaaa", "0120120"},
      // Registered on endpoint 1: three more attempts there, the fourth moves on.
      {3, "aaruaaaaa", "0111120"},
      // A registration on a reconnection starts the three attempts afresh.
      {3, "aruaaruaaaa", "0000001"},
      // The module list's index falls to zero only when the endpoint changes.
      {1, "saaai", "000(9)"},
      {2, "saaisraaaiai", "01(0)111(9)0(0)"},
  };
  for (const Case& c : cases) {
    TListOfModules modules;
    TKernelSettings settings(modules);
    for (int i = 0; i < c.endpoints; ++i) settings.AddKernel("K", "10.0.0.1", 4000 + i);
    EXPECT_EQ(RunScript(settings, modules, c.script), c.used)
        << c.script << " over " << c.endpoints;
  }
}

TEST_F(KernelSettingsTest, ConnectionMarksFollowTheEndpointAndEachDriverHasItsOwnGuid) {
  settings_.SetConnectionError(true);  // no endpoint: nothing to mark
  EXPECT_FALSE(settings_.CurrentKernelHasError());

  AddEndpoints(3);
  settings_.SetConnectionError(true);
  EXPECT_TRUE(settings_.CurrentKernelHasError());
  EXPECT_EQ(Run("a"), "0");
  EXPECT_EQ(Run("a"), "1");
  EXPECT_FALSE(settings_.CurrentKernelHasError());
  settings_.SetConnectionError(true);
  EXPECT_EQ(Run("aa"), "20");
  EXPECT_TRUE(settings_.CurrentKernelHasError());  // endpoint 0 is still marked
  settings_.SetConnectionError(false);
  for (const TKernelEndpointState& endpoint : settings_.Kernels()) {
    EXPECT_FALSE(endpoint.ConnectionError);
  }
  EXPECT_FALSE(settings_.ModuleGUID().IsNull());
  EXPECT_NE(TKernelSettings(modules_).ModuleGUID(), settings_.ModuleGUID());
}

TEST_F(KernelSettingsTest, LinkAndSystemThreadsShareTheStateWithoutRaces) {
  AddEndpoints(3);
  constexpr int kRounds = 2000;
  std::thread link([this] {
    for (int i = 0; i < kRounds; ++i) {
      std::string host;
      int32_t port = 0;
      settings_.GetCurrentKernel(host, port);  // resets the module list's index
      settings_.SetKernelRegistered(i % 5 == 0);
      settings_.SetInactive(i % 2 == 0);
      modules_.Assign(i, {TModule{}});
    }
  });
  for (int i = 0; i < kRounds; ++i) {  // the system thread's view
    static_cast<void>(settings_.IsInactive());
    EXPECT_LE(modules_.Count(), 1u);
    static_cast<void>(modules_.GetChangeIndex());
  }
  link.join();
  EXPECT_EQ(modules_.GetChangeIndex(), kRounds - 1);
}

}  // namespace
}  // namespace vd
