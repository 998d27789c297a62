// TDriverProcess: one run of an executable (the driver, in practice) as a
// child process of a test, benchmark or load tool.
//
// Owns the child: the destructor kills a child still running with SIGKILL and
// reaps it (waiting at most 30 s). Its output goes to a file opened for
// appending; standard input can be /dev/null. An inherited NOTIFY_SOCKET is
// never passed on, so a child reports READY=1 / STOPPING=1 only to the socket
// the caller names, never to whatever supervises the caller.
//
// On Windows (driver_process_win.cc) the child is made by CreateProcess with
// the arguments quoted as CommandLineToArgvW reads them, "killing" is
// TerminateProcess, standard input can be NUL and NotifyPath is ignored; the
// exit status is the process's exit code.
//
// Not thread-safe: one thread creates, signals, waits for and destroys it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vd {

struct TDriverLaunch {
  std::string Executable;
  std::vector<std::string> Arguments;  // after the executable's own name
  std::string OutputPath;              // appended to; created when missing
  bool StdoutToOutput = true;          // false: only stderr goes to the file
  bool StdinFromDevNull = false;
  std::string NotifyPath;  // NOTIFY_SOCKET for the child; empty: none
  // "NAME=value" entries added to the child's environment (WATCHDOG_USEC, say).
  std::vector<std::string> Environment;
};

class TDriverProcess {
 public:
  explicit TDriverProcess(const TDriverLaunch& launch);
  ~TDriverProcess();
  TDriverProcess(const TDriverProcess&) = delete;
  TDriverProcess& operator=(const TDriverProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // True until the child has ended (and been reaped).
  bool Alive();
#ifdef _WIN32
  // Ends the child at once (TerminateProcess, exit code 137) unless it has
  // already ended: Windows has no signals.
  void Terminate() const;
#else
  // Sends signal_number unless the child has already been reaped.
  void Signal(int signal_number) const;
#endif
  // The wait status once the child ended within timeout_ms; polls every ms.
  std::optional<int> WaitExit(int64_t timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Alive() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Alive();
    return status_;
  }

 private:
  pid_t pid_ = -1;
#ifdef _WIN32
  void* process_ = nullptr;  // the child's process handle
#endif
  std::optional<int> status_;
};

}  // namespace vd
