#include "config/driver_settings.h"

#include <gtest/gtest.h>

#include "platform/host.h"

namespace vd {
namespace {

TEST(DriverSettingsTest, DefaultsReplaceEveryFieldAddTheTrailingSlashAndDropThePorts) {
  DriverSettings settings;
  settings.Name = "Other";
  settings.FlushCacheWrites = false;
  settings.Ports.emplace_back();
  SetDefaults(settings, "/opt/volter", "");
  EXPECT_EQ(settings.LogPath, "/opt/volter/");
  EXPECT_EQ(settings.CacheDirectory(), "/opt/volter/Temp/VolterDirectDrv_Cache/");
  EXPECT_EQ(settings.Name, "VolterDirect Driver");
  EXPECT_EQ(settings.LocalIP, "");
  EXPECT_TRUE(settings.FlushCacheWrites);
  EXPECT_TRUE(settings.Ports.empty());
}

TEST(DriverSettingsTest, ProductionDefaultsUseTheRunningExecutablesDirectory) {
  DriverSettings settings;
  SetDefaults(settings);
  EXPECT_EQ(settings.Path, ExecutableDirectory());
}

}  // namespace
}  // namespace vd
