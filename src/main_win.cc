// VolterDirectDrv on Windows: with --console the driver runs the start
// sequence, stays in the foreground until Ctrl-C (or the console closes),
// runs the stop sequence and exits 0; a failed start exits 1. The
// configuration is the registry's machine hive, or a registry export file
// given with --registry.
// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs windows.h first
// clang-format on

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
#include "platform/windows_registry.h"
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

int RunInConsole(const vd::CommandLine& command) {
  ConsoleEventLog event_log;
  vd::HostFileSystem fs;
  vd::SystemClock clock;
  ConsoleNotifier notifier;
  vd::SystemTimeSetter time_setter;
  try {
    vd::TTerminationSignals::Block();
    vd::ProgramInfo program;
    program.executable_path = vd::ExecutablePath();
    program.process_id = static_cast<int64_t>(GetCurrentProcessId());
    vd::TO_VolterDirectDrv service(vd::TServiceHost{fs, clock, event_log, notifier, time_setter,
                                                    vd::PosixSocketApi(), program,
                                                    vd::ExecutableDirectory(), vd::GetLocalIP()});
    const std::string registry_file = command.registry_file;
    if (!service.ServiceStart([&fs, &registry_file]() -> std::unique_ptr<vd::ISettingsSource> {
          if (registry_file.empty()) return std::make_unique<vd::WindowsRegistry>();
          return std::make_unique<vd::RegistryFile>(vd::RegistryFile::Load(fs, registry_file));
        })) {
      return 1;
    }
    vd::TTerminationSignals::WaitForTermination(-1);
    return service.ServiceStop() ? 0 : 1;
  } catch (...) {
    event_log.WriteEvent(vd::ServiceEvent::kStartFailed, vd::CurrentExceptionText());
    return 1;
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
    default:
      return RunInConsole(command);
  }
}
