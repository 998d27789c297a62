// VolterDirectDrv: the driver process. Runs the start sequence, stays in the
// foreground until SIGTERM or SIGINT, runs the stop sequence and exits 0; a
// failed start exits 1. INSTALL and UNINSTALL manage the systemd unit;
// --check-config reads the registry file and prints what a start would use.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/host.h"
#include "platform/posix_file_system.h"
#include "platform/registry_file.h"
#include "platform/socket_api.h"
#include "platform/syslog_event_log.h"
#include "platform/system_clock.h"
#include "platform/system_time.h"
#include "platform/systemd_notifier.h"
#include "platform/systemd_unit.h"
#include "platform/termination_signals.h"
#include "service/configuration_check.h"
#include "service/driver_service.h"
#include "support/errors.h"
#include "support/service_event_log.h"
#ifdef VD_WITH_METRICS
#include "metrics/metrics_listener.h"
#endif

namespace {

vd::RegistryOpener RegistryFileOpener(vd::IFileSystem& fs, const std::string& path) {
  return
      [&fs, path] { return std::make_unique<vd::RegistryFile>(vd::RegistryFile::Load(fs, path)); };
}

int Run(const vd::CommandLine& command) {
  vd::SyslogEventLog event_log(std::cerr, true,
                               !vd::IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO));
  vd::PosixFileSystem fs;
  vd::SystemClock clock;
  vd::SystemdNotifier notifier;
  vd::SystemTimeSetter time_setter;
  try {
    // Before any thread exists, so that every thread inherits the mask.
    vd::TTerminationSignals::Block();
    vd::ProgramInfo program;
    program.executable_path = vd::ExecutablePath();
    program.process_id = static_cast<int64_t>(getpid());
    vd::TServiceHost host{fs,
                          clock,
                          event_log,
                          notifier,
                          time_setter,
                          vd::PosixSocketApi(),
                          program,
                          vd::ExecutableDirectory(),
                          vd::GetLocalIP()};
#ifdef VD_WITH_METRICS
    host.OpenMetrics = &vd::TMetricsListener::Open;
#endif
    vd::TO_VolterDirectDrv service(std::move(host));
    if (!service.ServiceStart(RegistryFileOpener(fs, command.registry_file))) {
      return 1;
    }
    vd::TTerminationSignals::WaitForTermination(-1);
    return service.ServiceStop() ? 0 : 1;
  } catch (...) {
    event_log.WriteEvent(vd::ServiceEvent::kStartFailed, vd::CurrentExceptionText());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  vd::CommandLine command;
  try {
    command = vd::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "VolterDirectDrv: " << error.what() << "\n\n" << vd::UsageText();
    return 2;
  }
  vd::PosixFileSystem fs;
  switch (command.action) {
    case vd::CommandLine::Action::kHelp:
      std::cout << vd::UsageText();
      return 0;
    case vd::CommandLine::Action::kVersion:
      std::cout << vd::VersionText();
      return 0;
    case vd::CommandLine::Action::kInstall:
      try {
        vd::ServiceInstallation installation;
        installation.unit_directory = command.unit_directory;
        installation.executable_path = vd::ExecutablePath();
        installation.registry_file = command.registry_file;
        installation.force = command.force;
        return vd::InstallService(fs, installation, command.silent, std::cout, std::cerr);
      } catch (const std::exception& error) {
        std::cerr << "VolterDirectDrv: " << vd::ExceptionText(error) << "\n";
        return 1;
      }
    case vd::CommandLine::Action::kCheckConfig: {
      vd::SystemClock clock;
      return vd::CheckConfiguration(RegistryFileOpener(fs, command.registry_file), fs, clock,
                                    vd::ExecutableDirectory(), vd::GetLocalIP(), std::cout,
                                    std::cerr);
    }
    case vd::CommandLine::Action::kUninstall:
      return vd::UninstallService(fs, command.unit_directory, command.silent, std::cout, std::cerr);
    case vd::CommandLine::Action::kRun:
      break;
  }
  return Run(command);
}
