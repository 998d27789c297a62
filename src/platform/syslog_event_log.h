#pragma once

#include <mutex>
#include <ostream>

#include "support/service_event_log.h"

namespace vd {

// The service's events as lines in the system log under the identity
// "O_VolterDirectDrv" (success events at notice level, errors at error
// level, facility daemon) and, the same text, on an error stream (stderr in
// the service, for the operator's terminal). Under systemd, where stderr is
// itself a journal stream and the system log goes to the journal too, the
// stream is left out so that each event reaches the journal once. Safe to
// call from any thread.
class SyslogEventLog final : public IServiceEventLog {
 public:
  static constexpr char kIdentity[] = "O_VolterDirectDrv";

  // errors must outlive the object. Without to_syslog only errors is written
  // (for tests); without to_errors only the system log.
  explicit SyslogEventLog(std::ostream& errors, bool to_syslog = true, bool to_errors = true);
  ~SyslogEventLog() override;

  SyslogEventLog(const SyslogEventLog&) = delete;
  SyslogEventLog& operator=(const SyslogEventLog&) = delete;

  void WriteEvent(ServiceEvent event, const std::string& insertion) override;

 private:
  std::ostream& errors_;
  const bool to_syslog_;
  const bool to_errors_;
  std::mutex lock_;  // serialises writes to errors_
};

// Whether fd is the journal stream systemd names in journal_stream (the
// value of JOURNAL_STREAM, "<device>:<inode>"); false when it is null or
// names another file.
bool IsJournalStream(const char* journal_stream, int fd);

}  // namespace vd
