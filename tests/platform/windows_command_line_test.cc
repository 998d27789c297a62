#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace vd {
namespace {

// A parsed Windows command line as one comparable text.
std::string Describe(const std::vector<std::string>& arguments) {
  try {
    const CommandLine c = ParseCommandLine(arguments);
    static const char* const kActions[] = {"run",     "help",      "version",
                                           "install", "uninstall", "check-config"};
    return std::string(kActions[static_cast<int>(c.action)]) + (c.console ? " console" : "") +
           " [" + c.registry_file + "]" + (c.silent ? " silent" : "");
  } catch (const ECommandLineError& e) {
    return "error: " + e.Message();
  }
}

TEST(WindowsCommandLineTest, ArgumentsSelectServiceConsoleOrInstallation) {
  const struct {
    std::vector<std::string> arguments;
    std::string expected;
  } cases[] = {
      {{}, "run []"},
      {{"--registry", "C:\\r.reg"}, "run [C:\\r.reg]"},
      {{"--console", "--registry=r.reg"}, "run console [r.reg]"},
      {{"--bogus", "-h"}, "help []"},
      {{"-V"}, "version []"},
      {{"INSTALL"}, "install []"},
      {{"install", "Silent", "--registry", "D:\\Lirra\\registry.reg"},
       "install [D:\\Lirra\\registry.reg] silent"},
      {{"UNINSTALL", "SILENT"}, "uninstall [] silent"},
      {{"INSTALL", "UNINSTALL"}, "error: Only one of INSTALL and UNINSTALL may be given"},
      {{"SILENT"}, "error: SILENT goes only with INSTALL or UNINSTALL"},
      {{"--console", "SILENT"}, "error: SILENT goes only with INSTALL or UNINSTALL"},
      {{"INSTALL", "--console"}, "error: --console does not go with INSTALL or UNINSTALL"},
      {{"UNINSTALL", "--registry", "r.reg"}, "error: --registry does not go with UNINSTALL"},
      {{"--registry"}, "error: Option --registry needs a value"},
      {{"/install"}, "error: Unknown argument '/install' (see --help)"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& a : c.arguments) joined += a + " ";
    EXPECT_EQ(Describe(c.arguments), c.expected) << joined;
  }
}

}  // namespace
}  // namespace vd
