#pragma once

#include <string>

#include "support/service_event_log.h"

namespace vd {

// The service's events in the Windows event log (Application), reported by
// the event source source_name: id = the event's number, category 0, type
// success (1, 2) or error (3, 4), one insertion string. The texts come from
// the message table of the executable that the source's EventMessageFile
// names (windows_event_messages.mc: English and Polish). An event that cannot
// be reported is lost; nothing raises. Safe to call from any thread.
class WindowsEventLog final : public IServiceEventLog {
 public:
  explicit WindowsEventLog(const std::string& source_name);
  ~WindowsEventLog() override;

  WindowsEventLog(const WindowsEventLog&) = delete;
  WindowsEventLog& operator=(const WindowsEventLog&) = delete;

  // Whether the source could be registered (without it events are lost).
  bool Registered() const { return source_ != nullptr; }
  void WriteEvent(ServiceEvent event, const std::string& insertion) override;

 private:
  void* source_;  // the HANDLE of RegisterEventSource
};

}  // namespace vd
