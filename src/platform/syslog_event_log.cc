#include "platform/syslog_event_log.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cinttypes>
#include <cstdio>

namespace vd {

SyslogEventLog::SyslogEventLog(std::ostream& errors, bool to_syslog, bool to_errors)
    : errors_(errors), to_syslog_(to_syslog), to_errors_(to_errors) {
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
  if (!to_errors_) return;
  std::lock_guard<std::mutex> guard(lock_);
  try {
    errors_ << text << std::endl;
  } catch (...) {
    // A closed error stream must not turn an event into a failure.
  }
}

bool IsJournalStream(const char* journal_stream, int fd) {
  if (journal_stream == nullptr) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  if (std::sscanf(journal_stream, "%ju:%ju", &device, &inode) != 2) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  return static_cast<uintmax_t>(info.st_dev) == device &&
         static_cast<uintmax_t>(info.st_ino) == inode;
}

}  // namespace vd
