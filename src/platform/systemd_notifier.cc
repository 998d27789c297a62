#include "platform/systemd_notifier.h"

#include <systemd/sd-daemon.h>

namespace vd {

// A failed notification changes nothing for the driver: systemd then treats
// the start as timed out and restarts the service, which is the right outcome
// for a manager that cannot be told.
void SystemdNotifier::Ready() { ::sd_notify(0, "READY=1"); }

void SystemdNotifier::Stopping() { ::sd_notify(0, "STOPPING=1"); }

}  // namespace vd
