// VolterDirectDrv on Windows: the service O_VolterDirectDrv when the
// service control manager starts it (events in the Windows event log), or
// with --console in the foreground until Ctrl-C (or the console closes),
// events on the error stream; both run the same start and stop sequences.
// A failed start exits 1 (the service reports it as its specific exit
// code). The configuration is the registry's machine hive, or a registry
// export file given with --registry. INSTALL and UNINSTALL (with SILENT: no
// message box) add and remove the service and its event-log source.
// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs windows.h first
// clang-format on

#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/host.h"
#include "platform/host_file_system.h"
#include "platform/registry_file.h"
#include "platform/socket_api.h"
#include "platform/system_clock.h"
#include "platform/system_time.h"
#include "platform/termination_signals.h"
#include "platform/windows_event_log.h"
#include "platform/windows_registry.h"
#include "platform/windows_service.h"
#include "platform/windows_text.h"
#include "service/driver_service.h"
#include "support/errors.h"
#include "support/service_event_log.h"
#include "support/service_notifier.h"

namespace {

// In the console the service's events go to the error stream.
class ConsoleEventLog final : public vd::IServiceEventLog {
 public:
  void WriteEvent(vd::ServiceEvent event, const std::string& insertion) override {
    std::lock_guard<std::mutex> guard(lock_);
    std::cerr << vd::ServiceEventText(event, insertion) << std::endl;
  }

 private:
  std::mutex lock_;
};

// No service manager to tell in the console.
class ConsoleNotifier final : public vd::IServiceNotifier {
 public:
  void Ready() override {}
  void Stopping() override {}
  int64_t WatchdogIntervalMs() override { return 0; }
  void WatchdogPing() override {}
};

// The start sequence, wait_for_stop, the stop sequence: 0 when the driver
// started and stopped cleanly, 1 otherwise.
int RunDriver(vd::IServiceEventLog& event_log, vd::IServiceNotifier& notifier,
              const std::string& registry_file, const std::function<void()>& wait_for_stop) {
  vd::HostFileSystem fs;
  vd::SystemClock clock;
  vd::SystemTimeSetter time_setter;
  try {
    vd::ProgramInfo program;
    program.executable_path = vd::ExecutablePath();
    program.process_id = static_cast<int64_t>(GetCurrentProcessId());
    vd::TO_VolterDirectDrv service(vd::TServiceHost{fs, clock, event_log, notifier, time_setter,
                                                    vd::PosixSocketApi(), program,
                                                    vd::ExecutableDirectory(), vd::GetLocalIP()});
    if (!service.ServiceStart([&fs, &registry_file]() -> std::unique_ptr<vd::ISettingsSource> {
          if (registry_file.empty()) return std::make_unique<vd::WindowsRegistry>();
          return std::make_unique<vd::RegistryFile>(vd::RegistryFile::Load(fs, registry_file));
        })) {
      return 1;
    }
    wait_for_stop();
    return service.ServiceStop() ? 0 : 1;
  } catch (...) {
    event_log.WriteEvent(vd::ServiceEvent::kStartFailed, vd::CurrentExceptionText());
    return 1;
  }
}

int RunInConsole(const vd::CommandLine& command) {
  ConsoleEventLog event_log;
  ConsoleNotifier notifier;
  try {
    vd::TTerminationSignals::Block();
  } catch (...) {
    event_log.WriteEvent(vd::ServiceEvent::kStartFailed, vd::CurrentExceptionText());
    return 1;
  }
  return RunDriver(event_log, notifier, command.registry_file,
                   [] { vd::TTerminationSignals::WaitForTermination(-1); });
}

int RunAsService(const vd::CommandLine& command) {
  vd::WindowsEventLog event_log(vd::kWindowsServiceName);
  const std::string registry_file = command.registry_file;
  try {
    if (vd::RunWindowsService([&event_log, &registry_file](vd::TWindowsServiceStatus& status) {
          return RunDriver(event_log, status, registry_file,
                           [&status] { status.WaitForStopRequest(); });
        })) {
      return 0;
    }
  } catch (const std::exception& error) {
    std::cerr << "VolterDirectDrv: " << error.what() << "\n";
    return 1;
  }
  std::cerr << "VolterDirectDrv: not started by the service control manager; install the\n"
               "service with INSTALL, or run the driver in this console with --console\n\n"
            << vd::UsageText();
  return 2;
}

// The outcome of INSTALL or UNINSTALL: on the console, and in a message box
// unless silent.
int Tell(const std::string& text, bool failed, bool silent) {
  (failed ? std::cerr : std::cout) << text << std::endl;
  if (!silent) {
    MessageBoxW(nullptr, vd::WideFromUtf8(text).c_str(), L"VolterDirectDrv",
                MB_OK | (failed ? MB_ICONERROR : MB_ICONINFORMATION));
  }
  return failed ? 1 : 0;
}

int Install(const vd::CommandLine& command) {
  const std::string name = vd::kWindowsServiceName;
  try {
    std::vector<std::string> arguments;
    if (!command.registry_file.empty()) {
      // The service runs in the system directory: the file by its full path.
      const std::filesystem::path file =
          std::filesystem::absolute(std::filesystem::path(vd::WideFromUtf8(command.registry_file)));
      arguments = {"--registry", vd::Utf8FromWide(file.wstring())};
    }
    vd::InstallWindowsService(vd::ExecutablePath(), arguments);
    return Tell(
        "Service " + name + " installed; it starts with Windows, or now with: net start " + name,
        false, command.silent);
  } catch (...) {
    return Tell("Service " + name + " not installed: " + vd::CurrentExceptionText(), true,
                command.silent);
  }
}

int Uninstall(const vd::CommandLine& command) {
  const std::string name = vd::kWindowsServiceName;
  try {
    vd::UninstallWindowsService();
    return Tell("Service " + name + " uninstalled (a running service goes when it stops)", false,
                command.silent);
  } catch (...) {
    return Tell("Service " + name + " not uninstalled: " + vd::CurrentExceptionText(), true,
                command.silent);
  }
}

// The arguments as UTF-8, whatever the console's code page.
std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(vd::Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace

int main() {
  vd::CommandLine command;
  try {
    command = vd::ParseCommandLine(Arguments());
  } catch (const std::exception& error) {
    std::cerr << "VolterDirectDrv: " << error.what() << "\n\n" << vd::UsageText();
    return 2;
  }
  switch (command.action) {
    case vd::CommandLine::Action::kHelp:
      std::cout << vd::UsageText();
      return 0;
    case vd::CommandLine::Action::kVersion:
      std::cout << vd::VersionText();
      return 0;
    case vd::CommandLine::Action::kInstall:
      return Install(command);
    case vd::CommandLine::Action::kUninstall:
      return Uninstall(command);
    default:
      return command.console ? RunInConsole(command) : RunAsService(command);
  }
}
