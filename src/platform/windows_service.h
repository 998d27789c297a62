#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/service_notifier.h"

namespace vd {

// The driver's identity towards the service control manager.
inline constexpr char kWindowsServiceName[] = "O_VolterDirectDrv";  // also the event source
inline constexpr char kWindowsServiceDisplayName[] = "Orvanel VolterDirect Driver";
inline constexpr char kWindowsServiceDescription[] =
    "Driver retrieving signals from Volter devices.";
// The event-log sources' key below HKEY_LOCAL_MACHINE; the service's source
// is its sub-key named after the service.
inline constexpr char kEventLogSourcesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr int64_t kServiceWaitHintMs = 5000;

// Installs the service: own process, not interactive, started automatically,
// running "executable" arguments... (the executable in quotes, each
// argument where it needs them). Then writes
// the event-log source key (created if needed; EventMessageFile, REG_EXPAND_SZ,
// the executable's path with backslashes, and TypesSupported 7; nothing when
// the key cannot be opened) and sets the service's description (silently
// not when that fails). Raises EOSError when the service manager cannot be
// opened or the service cannot be created (ERROR_SERVICE_EXISTS when it is
// installed already).
void InstallWindowsService(const std::string& executable,
                           const std::vector<std::string>& arguments);

// Removes the service (one still running goes when it stops) and then the
// event-log source key, swallowing every error of the latter. Raises EOSError
// when the service manager cannot be opened or the service cannot be deleted
// (ERROR_SERVICE_DOES_NOT_EXIST when it is not installed).
void UninstallWindowsService();

// What the service control manager sees of the running service: the start
// reports start pending (with the wait hint) before body runs, Ready reports
// running (accepting stop, pause and continue), Stopping and a stop request
// report stop pending, the end of body reports stopped. Pause and continue
// change only the status reported; the driver runs on.
//
// Ready and Stopping are called by the service's thread, OnControl by the
// manager's control thread; every method is safe to call from any thread.
class TWindowsServiceStatus final : public IServiceNotifier {
 public:
  // report: hands one status to the service manager (SetServiceStatus, or a
  // test's recorder): state, accepted controls, exit code, check point and
  // wait hint, as SERVICE_STATUS holds them.
  struct Status {
    unsigned long State = 0;
    unsigned long ControlsAccepted = 0;
    unsigned long ExitCode = 0;          // Win32 exit code
    unsigned long SpecificExitCode = 0;  // with ERROR_SERVICE_SPECIFIC_ERROR
    unsigned long CheckPoint = 0;
    unsigned long WaitHintMs = 0;
  };
  using Reporter = std::function<void(const Status&)>;

  explicit TWindowsServiceStatus(Reporter report);

  void StartPending();
  void Ready() override;
  void Stopping() override;
  int64_t WatchdogIntervalMs() override { return 0; }
  void WatchdogPing() override {}
  // Stopped with exit_code 0, or with the service-specific exit_code.
  void Stopped(int exit_code);

  // A control code from the service manager (SERVICE_CONTROL_...); the
  // HandlerEx answer: NO_ERROR or ERROR_CALL_NOT_IMPLEMENTED.
  unsigned long OnControl(unsigned long control);
  // Waits until the manager asks the service to stop.
  void WaitForStopRequest();

 private:
  void Report(unsigned long state);  // with lock_ held

  const Reporter report_;  // called with lock_ held, so statuses reach it in order

  std::mutex lock_;
  std::condition_variable stop_requested_changed_;
  bool stop_requested_ = false;    // guarded by lock_
  unsigned long state_ = 0;        // guarded by lock_; the last state reported
  unsigned long check_point_ = 0;  // guarded by lock_
  int exit_code_ = 0;              // guarded by lock_
};

// The service's work between its start pending and its stop: the start
// sequence, Ready, the wait for the stop request, the stop sequence; what it
// returns is the exit code Stopped reports.
using WindowsServiceBody = std::function<int(TWindowsServiceStatus& status)>;

// Hands the process to the service control manager, which runs body on a
// thread of its own as the service kWindowsServiceName; returns when the
// service has stopped. False, without running body, when the process was not
// started by the service manager; raises EOSError on another failure.
bool RunWindowsService(const WindowsServiceBody& body);

}  // namespace vd
