#pragma once

namespace vd {

// Tells the service manager how far the service has got. Called by the start
// and stop sequences only; never raises.
class IServiceNotifier {
 public:
  virtual ~IServiceNotifier() = default;
  // The start sequence has finished; the service runs.
  virtual void Ready() = 0;
  // The stop sequence begins.
  virtual void Stopping() = 0;
};

}  // namespace vd
