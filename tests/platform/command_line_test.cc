#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line_cases.h"
#include "support/version.h"

namespace vd {
namespace {

TEST(CommandLineTest, ArgumentsSelectTheActionAndItsFiles) {
  const std::string defaults = " /etc/lirra/registry.reg /etc/systemd/system/";
  ExpectDescriptions({
      {{}, "run" + defaults},
      {{"--registry", "/tmp/r.reg"}, "run /tmp/r.reg /etc/systemd/system/"},
      {{"--registry=r.reg"}, "run r.reg /etc/systemd/system/"},
      {{"--help", "--bogus"}, "help" + defaults},
      {{"--bogus", "-h"}, "help" + defaults},
      {{"--version"}, "version" + defaults},
      {{"-V"}, "version" + defaults},
      {{"INSTALL"}, "install" + defaults},
      {{"install", "silent", "--registry", "/r.reg", "--unit-dir", "/tmp/u"},
       "install /r.reg /tmp/u silent"},
      {{"--unit-dir=/tmp/u", "UNINSTALL", "SILENT"},
       "uninstall /etc/lirra/registry.reg /tmp/u silent"},
      {{"--registry"}, "error: Option --registry needs a value"},
      {{"--registry="}, "error: Option --registry needs a value"},
      {{"--unit-dir", ""}, "error: Option --unit-dir needs a value"},
      {{"--check-config", "--registry", "/r.reg"}, "check-config /r.reg /etc/systemd/system/"},
      {{"INSTALL", "UNINSTALL"},
       "error: Only one of INSTALL, UNINSTALL and --check-config may be given"},
      {{"--check-config", "INSTALL"},
       "error: Only one of INSTALL, UNINSTALL and --check-config may be given"},
      {{"SILENT"}, "error: SILENT goes only with INSTALL or UNINSTALL"},
      {{"INSTALL", "--force"}, "install" + defaults + " force"},
      {{"UNINSTALL", "--force"}, "error: --force goes only with INSTALL"},
      {{"/etc/lirra/registry.reg"},
       "error: Unknown argument '/etc/lirra/registry.reg' (see --help)"},
      {{"--registryx=1"}, "error: Unknown argument '--registryx=1' (see --help)"},
  });
}

TEST(CommandLineTest, HelpNamesEveryOptionAndVersionTheDriverVersion) {
  const std::string usage = UsageText();
  for (const char* part :
       {"--registry FILE", "/etc/lirra/registry.reg", "INSTALL [SILENT]", "UNINSTALL",
        "--unit-dir DIR", "--version", "O_VolterDirectDrv.service", "--check-config", "--force"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(VersionText(), std::string("VolterDirectDrv ") + kDriverVersion + "\n");
}

}  // namespace
}  // namespace vd
