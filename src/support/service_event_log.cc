#include "support/service_event_log.h"

namespace vd {

std::string ServiceEventText(ServiceEvent event, const std::string& insertion) {
  switch (event) {
    case ServiceEvent::kStarted:
      return "Service started";
    case ServiceEvent::kStopped:
      return "Service stopped";
    case ServiceEvent::kStartFailed:
      return "Error while starting: " + insertion;
    case ServiceEvent::kStopFailed:
      return "Error while stopping: " + insertion;
  }
  return "Event " + std::to_string(static_cast<int>(event)) + ": " + insertion;
}

}  // namespace vd
