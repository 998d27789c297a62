#pragma once

#include <string>
#include <vector>

#ifndef _WIN32
#include "platform/systemd_unit.h"
#endif
#include "support/errors.h"

namespace vd {

// An argument the executable does not understand.
using ECommandLineError = ErrorKind<"ECommandLineError">;

// What the executable VolterDirectDrv was asked to do.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kInstall, kUninstall, kCheckConfig };

#ifdef _WIN32
  // Empty: the configuration is the registry itself.
  static constexpr char kDefaultRegistryFile[] = "";
#else
  static constexpr char kDefaultRegistryFile[] = "/etc/lirra/registry.reg";
#endif

  Action action = Action::kRun;
  std::string registry_file = kDefaultRegistryFile;
#ifdef _WIN32
  bool console = false;  // --console: in the foreground until Ctrl-C
#else
  std::string unit_directory = kDefaultUnitDirectory;
  bool force = false;  // INSTALL --force: beside a unit the package installed
#endif
  bool silent = false;  // INSTALL SILENT, UNINSTALL SILENT
};

// Reads the arguments after the program name:
//   --registry FILE | --registry=FILE    the registry file to read
//   --unit-dir DIR | --unit-dir=DIR      where INSTALL and UNINSTALL work
//   INSTALL [SILENT] [--force] | UNINSTALL [SILENT] (any letter case)
//   --check-config                       read the registry file, print, exit
//   -h | --help, -V | --version          answered before anything else
// On Windows: --console, --registry FILE (a registry export file in place of
// the registry), INSTALL [SILENT] [--registry FILE], UNINSTALL [SILENT], -h
// and -V; without --console, INSTALL or UNINSTALL the service control
// manager runs the driver.
// Raises ECommandLineError naming the argument that is wrong.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text --help prints.
std::string UsageText();

// The text --version prints: "VolterDirectDrv <version>".
std::string VersionText();

}  // namespace vd
