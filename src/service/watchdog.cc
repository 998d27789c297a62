#include "service/watchdog.h"

#include <algorithm>
#include <chrono>

#include "support/clock.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/file_utils.h"
#include "support/heartbeat.h"
#include "support/log_writer.h"
#include "support/service_notifier.h"
#include "support/system_event_sink.h"
#include "support/text_utils.h"

namespace vd {
namespace {

constexpr int64_t kMaxStallFileSize = 64;
constexpr int64_t kRoundMs = 1000;

uint64_t ReadStallCount(IFileSystem& fs, const std::string& path) {
  try {
    if (!fs.Stat(path).exists) return 0;
    const int64_t count = ParseInt64(TrimBlanks(fs.ReadFile(path, kMaxStallFileSize)));
    return count > 0 ? static_cast<uint64_t>(count) : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace

TWatchdog::TWatchdog(const Collaborators& collaborators, std::vector<Worker> workers,
                     int64_t interval_ms, std::string stall_count_file)
    : c_(collaborators),
      workers_(std::move(workers)),
      interval_ms_(interval_ms),
      stall_count_file_(std::move(stall_count_file)),
      stalled_(workers_.size(), false),
      last_round_ms_(c_.Clock.MonotonicMs()),
      last_ping_ms_(THeartbeat::kNever),
      counts_from_ms_(workers_.size(), last_round_ms_),
      stall_count_(ReadStallCount(c_.FileSystem, stall_count_file_)) {}

TWatchdog::~TWatchdog() { Stop(); }

int64_t TWatchdog::RoundMs() const { return std::clamp<int64_t>(PingPeriodMs(), 1, kRoundMs); }

void TWatchdog::Start() {
  if (thread_.joinable()) return;
  last_round_ms_ = c_.Clock.MonotonicMs();
  thread_ = std::thread([this] { Execute(); });
}

void TWatchdog::Stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  woken_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TWatchdog::Execute() {
  const auto period = std::chrono::milliseconds(RoundMs());
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    Check();
    lock.lock();
    woken_.wait_for(lock, period, [this] { return stopping_; });
  }
}

bool TWatchdog::Check() {
  const int64_t now = c_.Clock.MonotonicMs();
  const int64_t late_ms = now - last_round_ms_ - RoundMs();
  last_round_ms_ = now;
  const bool late = late_ms > kLateMs;
  if (late) {
    c_.Log.LogWrite("Watchdog: woke " + std::to_string(late_ms / 1000) +
                    " s late, the whole process was held up; nothing judged this round");
  }
  bool alive = true;
  for (size_t i = 0; i < workers_.size(); ++i) {
    const Worker& worker = workers_[i];
    // A worker found stalled before stays so until it beats again.
    if (late && !stalled_[i]) counts_from_ms_[i] = now;
    const int64_t age = now - std::max(worker.Heartbeat.LastBeatMs(), counts_from_ms_[i]);
    const bool stalled = age > worker.StallLimitMs;
    if (stalled && !stalled_[i]) RecordStall(worker, age);
    stalled_[i] = stalled;
    alive = alive && !stalled;
  }
  if (alive) PingIfDue(now);
  return alive;
}

void TWatchdog::PingIfDue(int64_t now_ms) {
  if (last_ping_ms_ != THeartbeat::kNever && now_ms - last_ping_ms_ < PingPeriodMs()) return;
  c_.Notifier.WatchdogPing();
  last_ping_ms_ = now_ms;
}

void TWatchdog::RecordStall(const Worker& worker, int64_t age_ms) {
  const uint64_t count = ++stall_count_;
  const std::string text = "Worker thread stalled: " + worker.Name + ".";
  const std::string details = "No pass for " + std::to_string(age_ms / 1000) +
                              " s; watchdog pings withheld, the service manager restarts the "
                              "driver";
  c_.Log.LogWrite("Watchdog: " + worker.Name + " has not run for " + std::to_string(age_ms / 1000) +
                  " s; pings withheld (stall " + std::to_string(count) + ")");
  c_.Events.AddSystemEvent(text, details, true);
  try {
    WriteFileDurably(c_.FileSystem, stall_count_file_, std::to_string(count) + "\n", true);
  } catch (...) {
    c_.Log.LogWrite("Watchdog: stall count not stored: " + CurrentExceptionText());
  }
}

}  // namespace vd
