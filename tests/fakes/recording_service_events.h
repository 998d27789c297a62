#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/service_notifier.h"

namespace vd {

// Records the notifications as "READY=1", "STOPPING=1" and "WATCHDOG=1", as
// systemd sees them; asks for no watchdog pings of its own.
class RecordingServiceNotifier final : public IServiceNotifier {
 public:
  void Ready() override { Add("READY=1"); }
  void Stopping() override { Add("STOPPING=1"); }
  int64_t WatchdogIntervalMs() override { return 0; }
  void WatchdogPing() override { Add("WATCHDOG=1"); }
  std::vector<std::string> Notifications() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return notifications_;
  }

 private:
  void Add(const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    notifications_.emplace_back(text);
  }

  mutable std::mutex mutex_;
  std::vector<std::string> notifications_;
};

}  // namespace vd
