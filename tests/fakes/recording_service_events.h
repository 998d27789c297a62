#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/service_event_log.h"
#include "support/service_notifier.h"

namespace vd {

// Records the service's events as their texts ("Service started", "Error
// while starting: ...").
class RecordingServiceEventLog final : public IServiceEventLog {
 public:
  void WriteEvent(ServiceEvent event, const std::string& insertion) override {
    std::lock_guard<std::mutex> guard(mutex_);
    texts_.push_back(ServiceEventText(event, insertion));
  }
  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

// Records the notifications as "READY=1", "STOPPING=1" and "WATCHDOG=1", as
// systemd sees them; asks for watchdog pings when watchdog_interval_ms is set.
class RecordingServiceNotifier final : public IServiceNotifier {
 public:
  void Ready() override { Add("READY=1"); }
  void Stopping() override { Add("STOPPING=1"); }
  int64_t WatchdogIntervalMs() override { return watchdog_interval_ms; }
  void WatchdogPing() override { Add("WATCHDOG=1"); }
  std::vector<std::string> Notifications() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return notifications_;
  }

  int64_t watchdog_interval_ms = 0;

 private:
  void Add(const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    notifications_.emplace_back(text);
  }

  mutable std::mutex mutex_;
  std::vector<std::string> notifications_;
};

}  // namespace vd
