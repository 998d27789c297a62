#include "platform/systemd_unit.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "support/errors.h"

namespace vd {
namespace {

class SystemdUnitTest : public testing::Test {
 protected:
  int Install(bool silent, const std::string& unit_directory,
              const std::string& registry_file = "/etc/lirra/registry.reg", bool force = false) {
    return InstallService(fs_,
                          {unit_directory,
                           "/opt/lirra/VolterDirectDrv",
                           registry_file,
                           {temp_.Path() + "missing", PackageDirectory()},
                           force},
                          silent, out_, err_);
  }
  int Uninstall(bool silent) { return UninstallService(fs_, UnitDirectory(), silent, out_, err_); }
  std::string UnitDirectory() const { return temp_.Path() + "units"; }
  std::string UnitPath() const { return UnitDirectory() + "/O_VolterDirectDrv.service"; }
  // Stands for /usr/lib/systemd/system, where the package puts its unit.
  std::string PackageDirectory() const { return temp_.Path() + "package"; }

  ScopedTempDir temp_;
  HostFileSystem fs_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(SystemdUnitTest, UnitRunsTheDriverAsANotifyServiceWithRoomForTheConnections) {
  const std::string text = UnitFileText("/opt/lirra/VolterDirectDrv", "/etc/lirra/registry.reg");
  for (const char* line :
       {"\nType=notify\n",
        "\nExecStart=\"/opt/lirra/VolterDirectDrv\" --registry \"/etc/lirra/registry.reg\"\n",
        "\nRestart=on-failure\n", "\nWatchdogSec=30\n", "\nLimitNOFILE=65536\n",
        "\nWantedBy=multi-user.target\n", "\nDescription=Orvanel VolterDirect Driver\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST_F(SystemdUnitTest, PathsWithCharactersSystemdInterpretsAreEscapedAndLineBreaksRefused) {
  const std::string text = UnitFileText("/opt/my dir/Volter\"Drv", "/etc/100%/$HOME\\r.reg");
  EXPECT_NE(text.find("ExecStart=\"/opt/my dir/Volter\\\"Drv\" --registry "
                      "\"/etc/100%%/$$HOME\\\\r.reg\"\n"),
            std::string::npos)
      << text;
  EXPECT_THROW(UnitFileText("/opt/x", "/etc/r.reg\nExecStartPre=/bin/evil"), Exception);
}

TEST_F(SystemdUnitTest,
       InstallWritesTheUnitWithAnAbsoluteRegistryPathAndUninstallRemovesItOrFindsNone) {
  ASSERT_EQ(Install(false, UnitDirectory()), 0) << err_.str();
  EXPECT_EQ(fs_.ReadFile(UnitPath(), 65536),
            UnitFileText("/opt/lirra/VolterDirectDrv", "/etc/lirra/registry.reg"));
  EXPECT_NE(out_.str().find(UnitPath()), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("systemctl"), std::string::npos) << out_.str();

  fs_.WriteFile(UnitPath(), "old unit", false);
  out_.str("");
  EXPECT_EQ(Install(true, UnitDirectory(), "conf/../registry.reg"), 0);
  EXPECT_EQ(out_.str(), "");
  const std::string text = fs_.ReadFile(UnitPath(), 65536);  // replaced, the path made absolute
  EXPECT_NE(text.find("--registry \"/"), std::string::npos) << text;
  EXPECT_EQ(text.find(".."), std::string::npos) << text;

  EXPECT_EQ(Uninstall(false), 0);
  EXPECT_FALSE(fs_.Stat(UnitPath()).exists);
  EXPECT_NE(out_.str().find("uninstalled"), std::string::npos) << out_.str();
  EXPECT_EQ(err_.str(), "");

  out_.str("");  // without a unit: no error
  EXPECT_EQ(Uninstall(true), 0);
  EXPECT_EQ(out_.str() + err_.str(), "");
  EXPECT_EQ(Uninstall(false), 0);
  EXPECT_NE(out_.str().find("was not installed"), std::string::npos) << out_.str();
}

TEST_F(SystemdUnitTest, InstallFailureIsReportedEvenWhenSilent) {
  const std::string blocked = temp_.Path() + "file";
  fs_.WriteFile(blocked, "x", false);
  EXPECT_EQ(Install(true, blocked + "/units"), 1);
  EXPECT_EQ(out_.str(), "");
  EXPECT_NE(err_.str().find("Installing the service failed: EOSError"), std::string::npos)
      << err_.str();
}

TEST_F(SystemdUnitTest, InstallBesideThePackagesUnitRefusesUnlessForced) {
  fs_.CreateDirectories(PackageDirectory());
  const std::string packaged = PackageDirectory() + "/O_VolterDirectDrv.service";
  fs_.WriteFile(packaged, "the package's unit", false);
  EXPECT_EQ(Install(false, UnitDirectory()), 1);
  EXPECT_FALSE(fs_.Stat(UnitPath()).exists);
  EXPECT_EQ(out_.str(), "");
  EXPECT_TRUE(err_.str().starts_with("Installing the service refused: " + packaged)) << err_.str();
  EXPECT_NE(err_.str().find("or give --force"), std::string::npos) << err_.str();
  EXPECT_EQ(Install(true, UnitDirectory(), "/etc/lirra/registry.reg", true), 0);
  EXPECT_TRUE(fs_.Stat(UnitPath()).exists);
  EXPECT_EQ(fs_.ReadFile(packaged, 100), "the package's unit");
}

}  // namespace
}  // namespace vd
