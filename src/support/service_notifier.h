#pragma once

#include <cstdint>

namespace vd {

// Tells the service manager how far the service has got and that it is still
// alive. Ready and Stopping are called by the start and stop sequences,
// WatchdogIntervalMs and WatchdogPing by the watchdog thread; never raises;
// safe to call from any thread.
class IServiceNotifier {
 public:
  virtual ~IServiceNotifier() = default;
  // The start sequence has finished; the service runs.
  virtual void Ready() = 0;
  // The stop sequence begins.
  virtual void Stopping() = 0;
  // The interval within which the manager expects a watchdog ping; 0 when it
  // expects none.
  virtual int64_t WatchdogIntervalMs() = 0;
  // Every worker is alive.
  virtual void WatchdogPing() = 0;
};

}  // namespace vd
