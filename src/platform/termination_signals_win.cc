#include <windows.h>

#include <csignal>

#include "platform/termination_signals.h"
#include "platform/windows_error.h"

namespace vd {
namespace {

// Set by the console control handler, taken by WaitForTermination. A
// process has one console, so one event serves it.
HANDLE TerminationEvent() {
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

// The request the handler recorded last: SIGINT or SIGTERM, 0 for none.
LONG& LastSignal() {
  static LONG last = 0;
  return last;
}

// Runs on a thread the system creates for the console event: it only
// records the request, the main thread does the stopping.
BOOL WINAPI OnConsoleControl(DWORD control) {
  switch (control) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      InterlockedExchange(&LastSignal(), SIGINT);
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      InterlockedExchange(&LastSignal(), SIGTERM);
      break;
    default:
      return FALSE;
  }
  SetEvent(TerminationEvent());
  return TRUE;
}

}  // namespace

// Windows has no signal masks: Ctrl-C, Ctrl-Break and the console's close,
// log-off and shut-down events become the request to stop (SIGINT for the
// first two, SIGTERM for the others).
void TTerminationSignals::Block() {
  if (TerminationEvent() == nullptr) throw LastWindowsError("CreateEvent");
  if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE))
    throw LastWindowsError("SetConsoleCtrlHandler");
}

int TTerminationSignals::WaitForTermination(int timeout_ms) {
  const DWORD waited = WaitForSingleObject(
      TerminationEvent(), timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  if (waited == WAIT_TIMEOUT) return 0;
  if (waited != WAIT_OBJECT_0) throw LastWindowsError("WaitForSingleObject");
  return static_cast<int>(InterlockedExchange(&LastSignal(), 0));
}

}  // namespace vd
