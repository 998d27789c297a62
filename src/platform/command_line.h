#pragma once

#include <string>
#include <vector>

#include "platform/systemd_unit.h"
#include "support/errors.h"

namespace vd {

// An argument the executable does not understand.
using ECommandLineError = ErrorKind<"ECommandLineError">;

// What the executable VolterDirectDrv was asked to do.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kInstall, kUninstall, kCheckConfig };

  static constexpr char kDefaultRegistryFile[] = "/etc/lirra/registry.reg";

  Action action = Action::kRun;
  std::string registry_file = kDefaultRegistryFile;
  std::string unit_directory = kDefaultUnitDirectory;
  bool silent = false;  // INSTALL SILENT, UNINSTALL SILENT
};

// Reads the arguments after the program name:
//   --registry FILE | --registry=FILE    the registry file to read
//   --unit-dir DIR | --unit-dir=DIR      where INSTALL and UNINSTALL work
//   INSTALL [SILENT] | UNINSTALL [SILENT] (any letter case)
//   --check-config                       read the registry file, print, exit
//   -h | --help, -V | --version          answered before anything else
// Raises ECommandLineError naming the argument that is wrong.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text --help prints.
std::string UsageText();

// The text --version prints: "VolterDirectDrv <version>".
std::string VersionText();

}  // namespace vd
