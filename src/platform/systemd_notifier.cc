#include "platform/systemd_notifier.h"

#include <systemd/sd-daemon.h>

namespace vd {

// A failed notification changes nothing for the driver: systemd then treats
// the start as timed out (or the watchdog as expired) and restarts the
// service, which is the right outcome for a manager that cannot be told.
void SystemdNotifier::Ready() { ::sd_notify(0, "READY=1"); }

void SystemdNotifier::Stopping() { ::sd_notify(0, "STOPPING=1"); }

int64_t SystemdNotifier::WatchdogIntervalMs() {
  uint64_t usec = 0;
  if (::sd_watchdog_enabled(0, &usec) <= 0) return 0;
  return static_cast<int64_t>(usec / 1000);
}

void SystemdNotifier::WatchdogPing() { ::sd_notify(0, "WATCHDOG=1"); }

}  // namespace vd
