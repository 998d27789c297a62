#include "platform/command_line.h"
#include "support/version.h"

namespace vd {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "-h" || argument == "--help") return {CommandLine::Action::kHelp};
    if (argument == "-V" || argument == "--version") return {CommandLine::Action::kVersion};
  }
  CommandLine command;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--console") {
      command.console = true;
    } else if (argument == "--registry" || argument.starts_with("--registry=")) {
      command.registry_file = argument == "--registry"
                                  ? (i + 1 < arguments.size() ? arguments[++i] : std::string())
                                  : argument.substr(11);
      if (command.registry_file.empty()) {
        throw ECommandLineError("Option --registry needs a value");
      }
    } else {
      throw ECommandLineError("Unknown argument '" + argument + "' (see --help)");
    }
  }
  if (!command.console) throw ECommandLineError("Give --console to run in the foreground");
  return command;
}

std::string UsageText() {
  return "Usage: VolterDirectDrv --console [--registry FILE]\n"
         "\n"
         "Runs the VolterDirect driver in the foreground until Ctrl-C: it receives\n"
         "signals from Volter transmitters and delivers them to the Kernel. The\n"
         "configuration is read from HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers.\n"
         "\n"
         "  --console        run in this console, stopping at Ctrl-C or when it closes\n"
         "  --registry FILE  read the configuration from a registry export file\n"
         "                   instead of the registry\n"
         "  -h, --help       this text\n"
         "  -V, --version    the driver's version\n";
}

std::string VersionText() { return std::string("VolterDirectDrv ") + kDriverVersion + "\n"; }

}  // namespace vd
