#pragma once

#include "support/service_notifier.h"

namespace vd {

// Tells systemd about the service's state through the notification socket
// that systemd names in NOTIFY_SOCKET ("READY=1", "STOPPING=1", "WATCHDOG=1").
// The watchdog interval is the one systemd passes in WATCHDOG_USEC (for this
// process: WATCHDOG_PID, when set, must be ours). Outside systemd (no
// NOTIFY_SOCKET) every call does nothing and there is no watchdog. Holds no
// state; safe to call from any thread.
class SystemdNotifier final : public IServiceNotifier {
 public:
  void Ready() override;
  void Stopping() override;
  int64_t WatchdogIntervalMs() override;
  void WatchdogPing() override;
};

}  // namespace vd
