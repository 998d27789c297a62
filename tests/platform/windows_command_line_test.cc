#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line_cases.h"

namespace vd {
namespace {

TEST(WindowsCommandLineTest, ArgumentsSelectServiceConsoleOrInstallation) {
  ExpectDescriptions({
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
  });
}

}  // namespace
}  // namespace vd
