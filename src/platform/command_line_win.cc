#include "platform/command_line.h"
#include "support/text_utils.h"
#include "support/version.h"

namespace vd {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "-h" || argument == "--help") return {CommandLine::Action::kHelp};
    if (argument == "-V" || argument == "--version") return {CommandLine::Action::kVersion};
  }
  CommandLine command;
  bool service_command = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool install = EqualsIgnoreCase(argument, "INSTALL");
    if (argument == "--console") {
      command.console = true;
    } else if (argument == "--registry" || argument.starts_with("--registry=")) {
      command.registry_file = argument == "--registry"
                                  ? (i + 1 < arguments.size() ? arguments[++i] : std::string())
                                  : argument.substr(11);
      if (command.registry_file.empty()) {
        throw ECommandLineError("Option --registry needs a value");
      }
    } else if (install || EqualsIgnoreCase(argument, "UNINSTALL")) {
      if (service_command)
        throw ECommandLineError("Only one of INSTALL and UNINSTALL may be given");
      service_command = true;
      command.action = install ? CommandLine::Action::kInstall : CommandLine::Action::kUninstall;
    } else if (EqualsIgnoreCase(argument, "SILENT")) {
      command.silent = true;
    } else {
      throw ECommandLineError("Unknown argument '" + argument + "' (see --help)");
    }
  }
  if (command.silent && !service_command) {
    throw ECommandLineError("SILENT goes only with INSTALL or UNINSTALL");
  }
  if (command.console && service_command) {
    throw ECommandLineError("--console does not go with INSTALL or UNINSTALL");
  }
  if (command.action == CommandLine::Action::kUninstall && !command.registry_file.empty()) {
    throw ECommandLineError("--registry does not go with UNINSTALL");
  }
  return command;
}

std::string UsageText() {
  return "Usage: VolterDirectDrv [--registry FILE]\n"
         "       VolterDirectDrv --console [--registry FILE]\n"
         "       VolterDirectDrv INSTALL [SILENT] [--registry FILE]\n"
         "       VolterDirectDrv UNINSTALL [SILENT]\n"
         "\n"
         "Runs the VolterDirect driver, the Windows service O_VolterDirectDrv: it\n"
         "receives signals from Volter transmitters and delivers them to the Kernel.\n"
         "Without --console the service control manager starts it. The configuration\n"
         "is read from HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers.\n"
         "\n"
         "  --console        run in this console, stopping at Ctrl-C or when it closes\n"
         "  --registry FILE  read the configuration from a registry export file\n"
         "                   instead of the registry\n"
         "  INSTALL          install the service (started automatically with Windows)\n"
         "                   and its event-log source; with --registry the service\n"
         "                   reads that file\n"
         "  UNINSTALL        remove the service and its event-log source\n"
         "  SILENT           with INSTALL or UNINSTALL: no message box, the outcome is\n"
         "                   the exit code (0 done, 1 failed)\n"
         "  -h, --help       this text\n"
         "  -V, --version    the driver's version\n";
}

std::string VersionText() { return std::string("VolterDirectDrv ") + kDriverVersion + "\n"; }

}  // namespace vd
