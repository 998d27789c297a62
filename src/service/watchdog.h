#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vd {

// Where the watchdog keeps its stall count, in the cache directory (matching
// neither "*.sig" nor "*.que").
inline constexpr char kStallCountFileName[] = "VolterDirectDrv.stalls";

class IClock;
class IFileSystem;
class ILogWriter;
class IServiceNotifier;
class ISystemEventSink;
class THeartbeat;

// The driver's side of the service manager's watchdog: pings at half the
// interval the manager asked for, and only while every worker thread beats
// within its stall limit. A worker that stops beating (a hung reception loop,
// link or system thread) stops the pings, so the manager restarts the driver;
// the durable cache makes the restart lose nothing.
//
// The moment a worker is found stalled it is reported once: a log line, the
// event "Worker thread stalled: <name>." and one more in the stall count kept
// in stall_count_file, so that the count goes on across the restart that
// follows (a file that is missing or unreadable counts from 0).
//
// The watchdog judges in rounds, one a second (RoundMs), and pings when a
// round finds every worker alive and the last ping is a ping period old. A
// round that comes far later than its second (kLateMs) shows that the whole
// process was held up (stopped by a signal, a paused virtual machine, a
// suspended host): every age then says as little about a worker as about the
// watchdog, so that round judges nothing new: the ages of the workers alive
// until then count from it (one that still does not run is caught a stall
// limit later), and a worker already found stalled stays so.
//
// Ages are measured on the clock; only the pause between two rounds is real
// time (Stop cuts it short). Check is public so that tests can drive the
// watchdog on a fake clock without starting its thread; once Start was called
// it belongs to the thread.
//
// Threads: Start and Stop belong to the owner (the start and stop sequences);
// the destructor stops. The collaborators and heartbeats are borrowed and must
// outlive the object. StallCount is safe to call from any thread.
class TWatchdog {
 public:
  struct Worker {
    std::string Name;
    const THeartbeat& Heartbeat;
    // Longer than the longest pass of the worker's loop.
    int64_t StallLimitMs = 0;
  };

  struct Collaborators {
    const IClock& Clock;
    IServiceNotifier& Notifier;
    IFileSystem& FileSystem;
    ISystemEventSink& Events;
    ILogWriter& Log;
  };

  // interval_ms: what the manager expects (IServiceNotifier::WatchdogIntervalMs).
  // A worker that has not beaten yet counts from the construction.
  TWatchdog(const Collaborators& collaborators, std::vector<Worker> workers, int64_t interval_ms,
            std::string stall_count_file);
  ~TWatchdog();

  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

  void Start();
  void Stop();

  // A round later than RoundMs by more than this judges nothing.
  static constexpr int64_t kLateMs = 2000;

  // One round: reports workers newly found stalled; pings when every worker
  // is alive (or nothing was judged) and a ping is due. Whether nothing was
  // found stalled. Never raises.
  bool Check();

  int64_t PingPeriodMs() const { return interval_ms_ / 2; }
  // A second, or the ping period when that is shorter.
  int64_t RoundMs() const;
  // Stalls found, this run and the runs before it.
  uint64_t StallCount() const { return stall_count_.load(); }

 private:
  void Execute();
  void RecordStall(const Worker& worker, int64_t age_ms);
  void PingIfDue(int64_t now_ms);

  // Constant after construction.
  const Collaborators c_;
  const std::vector<Worker> workers_;
  const int64_t interval_ms_;
  const std::string stall_count_file_;

  // Check's own state (the watchdog thread's once started).
  std::vector<bool> stalled_;  // one per worker, as the last check found it
  int64_t last_round_ms_;
  int64_t last_ping_ms_;
  // One per worker: its age counts from here at most (the construction, or
  // the last late round that found it alive).
  std::vector<int64_t> counts_from_ms_;

  std::atomic<uint64_t> stall_count_{0};

  std::mutex mutex_;
  std::condition_variable woken_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace vd
