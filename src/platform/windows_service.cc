#include "platform/windows_service.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "platform/windows_error.h"
#include "platform/windows_text.h"

namespace vd {
namespace {

const std::wstring kServiceNameWide = WideFromUtf8(kWindowsServiceName);

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

ServiceHandle OpenManager(DWORD access) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) throw LastWindowsError("OpenSCManager");
  return manager;
}

std::wstring SourceKeyPath() {
  return WideFromUtf8(std::string(kEventLogSourcesKey) + "\\" + kWindowsServiceName);
}

// The event-log source of the service: its messages are the executable's.
void WriteEventSource(const std::wstring& executable) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath().c_str(), 0, nullptr, 0,
                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  const auto size = static_cast<DWORD>((executable.size() + 1) * sizeof(wchar_t));
  RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                 reinterpret_cast<const BYTE*>(executable.c_str()), size);
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                 sizeof types);
  RegCloseKey(key);
}

// The running service's body. The service manager calls ServiceMain without
// a context of ours, so RunWindowsService leaves it here for the one
// service of the process while the dispatcher runs.
const WindowsServiceBody* running_body = nullptr;

DWORD WINAPI OnServiceControl(DWORD control, DWORD, LPVOID, LPVOID context) {
  return static_cast<TWindowsServiceStatus*>(context)->OnControl(control);
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  SERVICE_STATUS_HANDLE handle = nullptr;
  TWindowsServiceStatus status([&handle](const TWindowsServiceStatus::Status& s) {
    SERVICE_STATUS reported{};
    reported.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    reported.dwCurrentState = s.State;
    reported.dwControlsAccepted = s.ControlsAccepted;
    reported.dwWin32ExitCode = s.ExitCode;
    reported.dwServiceSpecificExitCode = s.SpecificExitCode;
    reported.dwCheckPoint = s.CheckPoint;
    reported.dwWaitHint = s.WaitHintMs;
    SetServiceStatus(handle, &reported);
  });
  handle = RegisterServiceCtrlHandlerExW(kServiceNameWide.c_str(), OnServiceControl, &status);
  if (handle == nullptr) return;
  status.StartPending();
  int exit_code = 1;
  try {
    exit_code = (*running_body)(status);
  } catch (...) {
  }
  status.Stopped(exit_code);
}

}  // namespace

void InstallWindowsService(const std::string& executable,
                           const std::vector<std::string>& arguments) {
  std::string windows_path = executable;
  std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
  const std::wstring path = WideFromUtf8(windows_path);
  // The executable always in quotes, so that a path with blanks cannot name
  // another program.
  std::wstring command_line = L"\"" + path + L"\"";
  for (const std::string& argument : arguments)
    command_line += L" " + QuotedArgument(WideFromUtf8(argument));

  const ServiceHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE);
  const ServiceHandle service(CreateServiceW(
      manager.get(), kServiceNameWide.c_str(), WideFromUtf8(kWindowsServiceDisplayName).c_str(),
      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
      command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) throw LastWindowsError("CreateService", kWindowsServiceName);

  WriteEventSource(path);
  std::wstring description = WideFromUtf8(kWindowsServiceDescription);
  SERVICE_DESCRIPTIONW config{description.data()};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &config);
}

void UninstallWindowsService() {
  const ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  const ServiceHandle service(OpenServiceW(manager.get(), kServiceNameWide.c_str(), DELETE));
  if (!service) throw LastWindowsError("OpenService", kWindowsServiceName);
  if (!DeleteService(service.get())) throw LastWindowsError("DeleteService", kWindowsServiceName);

  HKEY sources = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8(kEventLogSourcesKey).c_str(), 0,
                    KEY_READ | KEY_WRITE, &sources) == ERROR_SUCCESS) {
    RegDeleteKeyW(sources, kServiceNameWide.c_str());
    RegCloseKey(sources);
  }
}

bool RunWindowsService(const WindowsServiceBody& body) {
  running_body = &body;
  std::wstring name = kServiceNameWide;
  const SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  const BOOL dispatched = StartServiceCtrlDispatcherW(table);
  running_body = nullptr;
  if (dispatched) return true;
  if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return false;
  throw LastWindowsError("StartServiceCtrlDispatcher");
}

TWindowsServiceStatus::TWindowsServiceStatus(Reporter report) : report_(std::move(report)) {}

void TWindowsServiceStatus::Report(unsigned long state) {
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  check_point_ = pending && state == state_ ? check_point_ + 1 : (pending ? 1 : 0);
  state_ = state;
  Status status;
  status.State = state;
  if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
    status.ControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
  }
  if (state == SERVICE_STOPPED && exit_code_ != 0) {
    status.ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.SpecificExitCode = static_cast<unsigned long>(exit_code_);
  }
  status.CheckPoint = check_point_;
  status.WaitHintMs = pending ? static_cast<unsigned long>(kServiceWaitHintMs) : 0;
  report_(status);
}

void TWindowsServiceStatus::StartPending() {
  std::lock_guard<std::mutex> guard(lock_);
  Report(SERVICE_START_PENDING);
}

void TWindowsServiceStatus::Ready() {
  std::lock_guard<std::mutex> guard(lock_);
  if (state_ == SERVICE_START_PENDING) Report(SERVICE_RUNNING);
}

void TWindowsServiceStatus::Stopping() {
  std::lock_guard<std::mutex> guard(lock_);
  if (state_ != SERVICE_STOPPED) Report(SERVICE_STOP_PENDING);
}

void TWindowsServiceStatus::Stopped(int exit_code) {
  std::lock_guard<std::mutex> guard(lock_);
  exit_code_ = exit_code;
  Report(SERVICE_STOPPED);
}

unsigned long TWindowsServiceStatus::OnControl(unsigned long control) {
  std::lock_guard<std::mutex> guard(lock_);
  switch (control) {
    case SERVICE_CONTROL_STOP:
      if (state_ != SERVICE_STOPPED) Report(SERVICE_STOP_PENDING);
      stop_requested_ = true;
      stop_requested_changed_.notify_all();
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      if (state_ == SERVICE_RUNNING) Report(SERVICE_PAUSED);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      if (state_ == SERVICE_PAUSED) Report(SERVICE_RUNNING);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void TWindowsServiceStatus::WaitForStopRequest() {
  std::unique_lock<std::mutex> guard(lock_);
  stop_requested_changed_.wait(guard, [this] { return stop_requested_; });
}

}  // namespace vd
