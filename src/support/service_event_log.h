#pragma once

#include <string>

namespace vd {

// The four events the start and stop sequences report to the system's event
// log (and only they do).
enum class ServiceEvent {
  kStarted = 1,      // success
  kStopped = 2,      // success
  kStartFailed = 3,  // error; insertion: ExceptionText of the failure
  kStopFailed = 4,   // error; insertion: ExceptionText of the failure
};

// The English text of an event with its insertion text: "Service started",
// "Service stopped", "Error while starting: <insertion>", "Error while
// stopping: <insertion>".
std::string ServiceEventText(ServiceEvent event, const std::string& insertion);

// Whether the event reports an error (3 and 4) rather than a success.
inline bool IsErrorEvent(ServiceEvent event) {
  return event == ServiceEvent::kStartFailed || event == ServiceEvent::kStopFailed;
}

// Where the service's events go. Called by the start and stop sequences only,
// one at a time; never raises.
class IServiceEventLog {
 public:
  virtual ~IServiceEventLog() = default;
  virtual void WriteEvent(ServiceEvent event, const std::string& insertion) = 0;
};

}  // namespace vd
