#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device/signal_sink.h"
#include "support/errors.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"

namespace vd {

struct RecordedEvent {
  std::string text;
  std::string details;
  bool is_error = false;
};

// Records every system event; answers that it was queued.
class RecordingEventSink final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string& text, const std::string& details, bool is_error) override {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back({text, details, is_error});
    return true;
  }
  std::vector<RecordedEvent> Events() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }
  size_t Count(std::string_view text) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const auto& e : events_) n += e.text == text ? 1 : 0;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedEvent> events_;
};

// Records every log line.
class RecordingLogWriter final : public ILogWriter {
 public:
  void LogWrite(std::string_view text) override {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.emplace_back(text);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Records every signal; answers with `result`, or raises when `fail_with` is set.
class RecordingSignalSink final : public ISignalSink {
 public:
  bool AddSignal(TSignal signal) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!fail_with.empty()) throw Exception(fail_with);
    signals_.push_back(std::move(signal));
    return result;
  }
  std::vector<TSignal> Signals() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return signals_;
  }

  bool result = true;
  std::string fail_with;

 private:
  mutable std::mutex mutex_;
  std::vector<TSignal> signals_;
};

}  // namespace vd
