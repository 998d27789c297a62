#pragma once

#include "support/service_notifier.h"

namespace vd {

// Tells systemd about the service's state through the notification socket
// that systemd names in NOTIFY_SOCKET ("READY=1", "STOPPING=1"). Outside
// systemd (no NOTIFY_SOCKET) every call does nothing. Holds no state; safe to
// call from any thread.
class SystemdNotifier final : public IServiceNotifier {
 public:
  void Ready() override;
  void Stopping() override;
};

}  // namespace vd
