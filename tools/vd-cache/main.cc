// vd-cache: looks into the driver's cache directory and sets a repaired
// ".error" file back in line. See --help.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cache_inspector.h"
#include "config/driver_settings.h"
#include "platform/command_line.h"
#include "platform/host.h"
#include "platform/posix_file_system.h"
#include "platform/registry_file.h"
#include "platform/system_clock.h"
#include "service/configuration.h"
#include "support/errors.h"
#include "support/service_event_log.h"

namespace {

constexpr char kUsage[] =
    "Usage: vd-cache [--registry FILE | --cache DIR] COMMAND\n"
    "\n"
    "Looks into the VolterDirect driver's cache directory, with the driver's own\n"
    "readers. Reading works while the driver runs; requeue refuses while a driver\n"
    "holds the cache.\n"
    "\n"
    "Commands:\n"
    "  list               pending signals (file, age, HN, Code, port), events and questions\n"
    "  show FILE          every field of one file\n"
    "  errors             each file set aside as \".error\" and why it cannot be read\n"
    "  requeue FILE.error rename it back once it reads as a valid signal or question file\n"
    "  stats              counts, oldest ages, bytes, free space, the driver holding the cache\n"
    "\n"
    "  --registry FILE    the driver's registry file, for the cache directory\n"
    "                     (default /etc/lirra/registry.reg)\n"
    "  --cache DIR        the cache directory itself\n"
    "\n"
    "Exit status: 0 done, 1 failed or refused, 2 wrong arguments.\n";

int Usage(const std::string& problem) {
  std::cerr << "vd-cache: " << problem << "\n\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string registry_file = vd::CommandLine::kDefaultRegistryFile;
  std::string cache_directory;
  std::vector<std::string> words;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-h" || argument == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--registry" || argument == "--cache") {
      if (i + 1 >= arguments.size()) return Usage("option " + argument + " needs a value");
      (argument == "--registry" ? registry_file : cache_directory) = arguments[++i];
    } else if (argument.starts_with("--")) {
      return Usage("unknown option " + argument);
    } else {
      words.push_back(argument);
    }
  }
  if (words.empty()) return Usage("no command");
  const std::string& command = words[0];
  const bool takes_file = command == "show" || command == "requeue";
  if (words.size() != (takes_file ? 2u : 1u)) return Usage("wrong arguments for " + command);

  vd::PosixFileSystem fs;
  vd::SystemClock clock;
  if (cache_directory.empty()) {
    // The directory a start would use, read the same way, creating nothing.
    try {
      vd::DriverSettings settings;
      std::vector<vd::KernelEndpoint> endpoints;
      vd::SetDefaults(settings, vd::ExecutableDirectory(), "");
      const vd::RegistryFile registry = vd::RegistryFile::Load(fs, registry_file);
      vd::ReadConfiguration(registry, fs, clock, vd::ExecutableDirectory(), settings, endpoints,
                            vd::PathCreation::kLeave);
      cache_directory = settings.CacheDirectory();
    } catch (...) {
      std::cerr << "vd-cache: " << registry_file << ": " << vd::CurrentExceptionText() << "\n";
      return 1;
    }
  }
  vd::TCacheInspector inspector(fs, clock, cache_directory);
  if (command == "list") return inspector.List(std::cout, std::cerr);
  if (command == "show") return inspector.Show(words[1], std::cout, std::cerr);
  if (command == "errors") return inspector.Errors(std::cout, std::cerr);
  if (command == "requeue") return inspector.Requeue(words[1], std::cout, std::cerr);
  if (command == "stats") return inspector.Stats(std::cout, std::cerr);
  return Usage("unknown command " + command);
}
