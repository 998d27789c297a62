#pragma once

#include <mutex>
#include <ostream>

#include "support/service_event_log.h"

namespace vd {

// The service's events as lines in the system log under the identity
// "O_VolterDirectDrv" (success events at notice level, errors at error
// level, facility daemon) and, the same text, on an error stream (stderr in
// the service, where systemd's journal or the operator's terminal picks it
// up). Safe to call from any thread.
class SyslogEventLog final : public IServiceEventLog {
 public:
  static constexpr char kIdentity[] = "O_VolterDirectDrv";

  // errors must outlive the object. Without to_syslog only errors is written
  // (for tests).
  explicit SyslogEventLog(std::ostream& errors, bool to_syslog = true);
  ~SyslogEventLog() override;

  SyslogEventLog(const SyslogEventLog&) = delete;
  SyslogEventLog& operator=(const SyslogEventLog&) = delete;

  void WriteEvent(ServiceEvent event, const std::string& insertion) override;

 private:
  std::ostream& errors_;
  const bool to_syslog_;
  std::mutex lock_;  // serialises writes to errors_
};

}  // namespace vd
