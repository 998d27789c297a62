#pragma once

#include <string>

namespace vd {

// The one way every component reports an operator-visible error or
// information to the Kernel. The question buffer implements it (it queues the
// event durably); tests use a recorder (tests/fakes/recording_sinks.h).
// Safe to call from any thread, also while holding the signal buffer's lock;
// never raises.
class ISystemEventSink {
 public:
  virtual ~ISystemEventSink() = default;

  // Returns true when the event was queued, false when it was dropped.
  virtual bool AddSystemEvent(const std::string& text, const std::string& details,
                              bool is_error) = 0;
};

}  // namespace vd
