#include "platform/syslog_event_log.h"

#include <syslog.h>

namespace vd {

SyslogEventLog::SyslogEventLog(std::ostream& errors, bool to_syslog)
    : errors_(errors), to_syslog_(to_syslog) {
  // kIdentity is a literal: syslog keeps the pointer.
  if (to_syslog_) ::openlog(kIdentity, LOG_PID, LOG_DAEMON);
}

SyslogEventLog::~SyslogEventLog() {
  if (to_syslog_) ::closelog();
}

void SyslogEventLog::WriteEvent(ServiceEvent event, const std::string& insertion) {
  const std::string text = ServiceEventText(event, insertion);
  if (to_syslog_) {
    ::syslog(IsErrorEvent(event) ? LOG_ERR : LOG_NOTICE, "%s", text.c_str());
  }
  std::lock_guard<std::mutex> guard(lock_);
  try {
    errors_ << text << std::endl;
  } catch (...) {
    // A closed error stream must not turn an event into a failure.
  }
}

}  // namespace vd
