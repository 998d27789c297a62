#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver_process.h"
#include "platform/windows_text.h"

namespace vd {
namespace {

constexpr UINT kTerminatedExitCode = 137;  // as a shell reports a SIGKILL

// The caller's environment with the launch's entries added, as the
// double-NUL-terminated block CreateProcessW takes.
std::wstring EnvironmentBlock(const std::vector<std::string>& added) {
  std::wstring block;
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; entry != nullptr && *entry != L'\0';
       entry += wcslen(entry) + 1) {
    block.append(entry).push_back(L'\0');
  }
  if (inherited != nullptr) FreeEnvironmentStringsW(inherited);
  for (const std::string& entry : added) block.append(WideFromUtf8(entry)).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace

TDriverProcess::TDriverProcess(const TDriverLaunch& launch) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE output = CreateFileW(WideFromUtf8(launch.OutputPath).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherited, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return;
  HANDLE input = INVALID_HANDLE_VALUE;
  if (launch.StdinFromDevNull) {
    input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                        OPEN_EXISTING, 0, nullptr);
  }

  std::wstring command_line = QuotedArgument(WideFromUtf8(launch.Executable));
  for (const std::string& argument : launch.Arguments)
    command_line += L" " + QuotedArgument(WideFromUtf8(argument));
  std::wstring environment = EnvironmentBlock(launch.Environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input != INVALID_HANDLE_VALUE ? input : GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdError = output;
  startup.hStdOutput = launch.StdoutToOutput ? output : GetStdHandle(STD_OUTPUT_HANDLE);
  PROCESS_INFORMATION created{};
  if (CreateProcessW(WideFromUtf8(launch.Executable).c_str(), command_line.data(), nullptr, nullptr,
                     TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                     nullptr, &startup, &created)) {
    CloseHandle(created.hThread);
    process_ = created.hProcess;
    pid_ = static_cast<pid_t>(created.dwProcessId);
  }
  CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
}

TDriverProcess::~TDriverProcess() {
  if (Alive()) {
    Terminate();
    WaitExit(30000);
  }
  if (process_ != nullptr) CloseHandle(process_);
}

bool TDriverProcess::Alive() {
  if (process_ == nullptr || status_) return false;
  if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    status_ = static_cast<int>(code);
  }
  return !status_;
}

void TDriverProcess::Terminate() const {
  if (process_ != nullptr && !status_) TerminateProcess(process_, kTerminatedExitCode);
}

}  // namespace vd
