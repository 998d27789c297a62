#include "platform/command_line.h"

#include "support/text_utils.h"
#include "support/version.h"

namespace vd {
namespace {

// The value of an option given as "--name VALUE" or "--name=VALUE"; i moves
// past what was used. False when the argument is not this option.
bool OptionValue(const std::vector<std::string>& arguments, size_t& i, const std::string& name,
                 std::string& value) {
  const std::string& argument = arguments[i];
  if (argument == name) {
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
      throw ECommandLineError("Option " + name + " needs a value");
    }
    value = arguments[++i];
    return true;
  }
  if (argument.starts_with(name + "=")) {
    value = argument.substr(name.size() + 1);
    if (value.empty()) throw ECommandLineError("Option " + name + " needs a value");
    return true;
  }
  return false;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "-h" || argument == "--help") return {CommandLine::Action::kHelp};
    if (argument == "-V" || argument == "--version") return {CommandLine::Action::kVersion};
  }
  CommandLine command;
  bool service_command = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (OptionValue(arguments, i, "--registry", command.registry_file) ||
        OptionValue(arguments, i, "--unit-dir", command.unit_directory)) {
      continue;
    }
    if (argument == "--check-config") {
      if (service_command) {
        throw ECommandLineError("Only one of INSTALL, UNINSTALL and --check-config may be given");
      }
      service_command = true;
      command.action = CommandLine::Action::kCheckConfig;
      continue;
    }
    const bool install = EqualsIgnoreCase(argument, "INSTALL");
    if (install || EqualsIgnoreCase(argument, "UNINSTALL")) {
      if (service_command)
        throw ECommandLineError("Only one of INSTALL, UNINSTALL and --check-config may be given");
      service_command = true;
      command.action = install ? CommandLine::Action::kInstall : CommandLine::Action::kUninstall;
    } else if (EqualsIgnoreCase(argument, "SILENT")) {
      command.silent = true;
    } else if (argument == "--force") {
      command.force = true;
    } else {
      throw ECommandLineError("Unknown argument '" + argument + "' (see --help)");
    }
  }
  if (command.silent && (!service_command || command.action == CommandLine::Action::kCheckConfig)) {
    throw ECommandLineError("SILENT goes only with INSTALL or UNINSTALL");
  }
  if (command.force && command.action != CommandLine::Action::kInstall) {
    throw ECommandLineError("--force goes only with INSTALL");
  }
  return command;
}

std::string UsageText() {
  return std::string(
             "Usage: VolterDirectDrv [--registry FILE]\n"
             "       VolterDirectDrv --check-config [--registry FILE]\n"
             "       VolterDirectDrv INSTALL [SILENT] [--force] [--registry FILE]\n"
             "                               [--unit-dir DIR]\n"
             "       VolterDirectDrv UNINSTALL [SILENT] [--unit-dir DIR]\n"
             "\n"
             "Runs the VolterDirect driver in the foreground until SIGTERM or SIGINT: it\n"
             "receives signals from Volter transmitters and delivers them to the Kernel.\n"
             "\n"
             "  --registry FILE  the registry export file to read the configuration from\n"
             "                   (default ") +
         CommandLine::kDefaultRegistryFile +
         ")\n"
         "  --check-config   read the registry file as a start would, print the\n"
         "                   effective settings and exit (0: usable, 1: the start error)\n"
         "  INSTALL          write the systemd unit " +
         UnitFileName() +
         " running this executable\n"
         "                   with --registry FILE; SILENT prints nothing on success;\n"
         "                   refused where the package installed the unit, unless --force\n"
         "  UNINSTALL        remove the unit (no error when it is not installed)\n"
         "  --unit-dir DIR   the unit directory (default " +
         kDefaultUnitDirectory +
         ")\n"
         "  -h, --help       this text\n"
         "  -V, --version    the driver's version\n";
}

std::string VersionText() { return std::string("VolterDirectDrv ") + kDriverVersion + "\n"; }

}  // namespace vd
