#include "service/driver_settings.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "platform/host.h"

namespace vd {
namespace {

class DriverSettingsTest : public testing::Test {
 protected:
  // A record with every field away from its default.
  void Dirty() {
    settings_.Path = "/elsewhere/";
    settings_.SecurityEnabled = true;
    settings_.SecurityKey = "key";
    settings_.FrameIVSeed = 1;
    settings_.Name = "Other";
    settings_.Password = "secret";
    settings_.UseNamedPipeConnection = true;
    settings_.LogSave = true;
    settings_.LogPath = "/logs/";
    settings_.LocalIP = "10.0.0.1";
    settings_.FlushCacheWrites = false;
    settings_.Ports.emplace_back();
    settings_.Ports.back().FloodControl = std::make_unique<TDoSAttackControl>(clock_);
  }

  FakeClock clock_;
  DriverSettings settings_;
};

TEST_F(DriverSettingsTest, DefaultsReplaceEveryFieldAndDropThePorts) {
  Dirty();
  SetDefaults(settings_, "/opt/volter/bin/", "192.168.1.20");
  EXPECT_EQ(settings_.Path, "/opt/volter/bin/");
  EXPECT_EQ(settings_.LogPath, "/opt/volter/bin/");
  EXPECT_EQ(settings_.CacheDirectory(), "/opt/volter/bin/Temp/VolterDirectDrv_Cache/");
  EXPECT_EQ(settings_.LocalIP, "192.168.1.20");
  EXPECT_EQ(settings_.Name, "VolterDirect Driver");
  EXPECT_FALSE(settings_.SecurityEnabled);
  EXPECT_EQ(settings_.SecurityKey, "");
  EXPECT_EQ(settings_.FrameIVSeed, kDefaultFrameIVSeed);
  EXPECT_EQ(settings_.Password, "");
  EXPECT_FALSE(settings_.UseNamedPipeConnection);
  EXPECT_FALSE(settings_.LogSave);
  EXPECT_TRUE(settings_.FlushCacheWrites);
  EXPECT_TRUE(settings_.Ports.empty());
}

TEST_F(DriverSettingsTest, DirectoryGetsItsTrailingSlashAndUnknownAddressStaysEmpty) {
  SetDefaults(settings_, "/opt/volter", "");
  EXPECT_EQ(settings_.Path, "/opt/volter/");
  EXPECT_EQ(settings_.LogPath, "/opt/volter/");
  EXPECT_EQ(settings_.LocalIP, "");
}

TEST_F(DriverSettingsTest, ProductionDefaultsUseTheRunningExecutablesDirectory) {
  Dirty();
  SetDefaults(settings_);
  EXPECT_EQ(settings_.Path, ExecutableDirectory());
  EXPECT_EQ(settings_.LogPath, ExecutableDirectory());
  EXPECT_EQ(settings_.LocalIP, GetLocalIP());
  EXPECT_TRUE(settings_.Ports.empty());
}

}  // namespace
}  // namespace vd
