#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "device/device_control.h"
#include "support/heartbeat.h"

namespace vd {

class IClock;
class ILogWriter;
class ISignalSink;
class ISystemEventSink;
class TDeviceConnection;
struct DriverSettings;

// What the transmitter connections work with. Every collaborator is borrowed
// and must outlive the loop.
struct TReceptionContext {
  const DriverSettings& Settings;
  const IClock& Clock;
  ISignalSink& Signals;
  ISystemEventSink& Events;
  ILogWriter& Log;
  TDeviceParamControlBuffer& Controls;
  QuestionQueue Questions;  // receives the answers to control commands
};

// What reception counts per device port, for the metrics: updated on the
// loop thread, readable from any thread.
struct TPortCounters {
  std::atomic<uint64_t> InvalidFrames{0};
  std::atomic<int64_t> OpenConnections{0};
};

// The one event loop that serves every port listener and every transmitter
// connection of the driver, on a thread of its own, plus a small pool of
// worker threads for everything that may wait for the disk (AddSignal,
// AddSystemEvent, LogWrite, the control answers).
//
// Owns the io_context and its thread, the worker pool, the registry of live
// connections, the one read buffer all connections share and the repeating
// sweep timer that polls control commands and closes idle connections.
// The registry and the read buffer are touched on the loop thread only.
//
// Thread notes: RunOnLoop, SweepNow and Stop are for other threads (the
// system thread, tests); Sweep, Register, Unregister, StopConnections and
// ReadBuffer for the loop thread only.
class TReceptionLoop {
 public:
  struct Options {
    // Pace of the sweep; the clock decides what is due.
    std::chrono::milliseconds SweepPeriod{1000};
    // Threads for the disk work. They mostly wait for flushes; the more wait
    // together, the larger the signal buffer's flush groups (4 kept up with
    // about 500 durable signals a second here, 16 with 1000).
    size_t Workers = 16;
    // Disk work queued for the workers beyond which connections stop being
    // read (their transmitters feel TCP back-pressure) until half of it is
    // done. Bounds memory when the disk is slower than the ports: at most
    // this many tasks plus those of one read (a task per three bytes of
    // kMaxReadBytes at worst), each about the size of one signal.
    size_t MaxBacklog = 10000;
  };

  // Bytes taken from a socket in one read; more waits for the next read.
  static constexpr size_t kMaxReadBytes = 64 * 1024;

  explicit TReceptionLoop(TReceptionContext context);
  TReceptionLoop(TReceptionContext context, Options options);
  ~TReceptionLoop();

  TReceptionLoop(const TReceptionLoop&) = delete;
  TReceptionLoop& operator=(const TReceptionLoop&) = delete;

  // Runs fn on the loop thread and returns when it has run, passing on what
  // it raises; after Stop runs it on the caller's thread. Raises when the
  // loop has not run it within kRunOnLoopWait.
  static constexpr std::chrono::seconds kRunOnLoopWait{60};
  void RunOnLoop(const std::function<void()>& fn);

  // Runs one sweep now and returns when it has run.
  void SweepNow() {
    RunOnLoop([this] { Sweep(); });
  }

  // Ends every connection, then the loop and the workers; idempotent. The
  // listeners must be closed first.
  void Stop();

  size_t ConnectionCount() const { return connection_count_.load(); }
  // The counters of the port at 1-based position port_number in
  // Settings.Ports; nullptr for any other number. Any thread.
  const TPortCounters* PortCounters(int32_t port_number) const;
  // One invalid frame received on the port; loop thread.
  void CountInvalidFrame(int32_t port_number);

  // Beats at every sweep, on the loop thread: a loop stuck in one handler
  // stops beating.
  const THeartbeat& Heartbeat() const { return heartbeat_; }

  const TReceptionContext& Context() const { return context_; }
  asio::io_context& Io() { return io_; }
  asio::thread_pool& Workers() { return workers_; }

  // Loop thread only.
  void Sweep();
  void Register(const std::shared_ptr<TDeviceConnection>& connection);
  void Unregister(TDeviceConnection& connection);
  // Ends every connection that matches (all when the filter is empty).
  void StopConnections(const std::function<bool(const TDeviceConnection&)>& filter);
  char* ReadBuffer() { return read_buffer_.get(); }
  bool Overloaded() const { return backlog_.load() >= options_.MaxBacklog; }
  size_t Backlog() const { return backlog_.load(); }
  // Holds the connection unread until the backlog is down again.
  void Pause(const std::shared_ptr<TDeviceConnection>& connection);

  // Any thread: one task queued for the workers, one done.
  void WorkQueued() { ++backlog_; }
  void WorkDone();

 private:
  void ArmSweep();
  void ResumePaused();
  void CountConnection(int32_t port_number, int64_t delta);

  const TReceptionContext context_;
  const Options options_;

  // Declared before io_ so that handlers destroyed with io_ still find the
  // workers their strands belong to.
  asio::thread_pool workers_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::steady_timer sweep_timer_;
  std::unique_ptr<char[]> read_buffer_;                          // loop thread
  std::vector<std::shared_ptr<TDeviceConnection>> connections_;  // loop thread
  std::atomic<size_t> connection_count_{0};
  const size_t port_count_;
  const std::unique_ptr<TPortCounters[]> port_counters_;  // port_count_ of them
  THeartbeat heartbeat_;
  std::vector<std::shared_ptr<TDeviceConnection>> paused_;  // loop thread
  std::atomic<size_t> backlog_{0};
  std::atomic<bool> any_paused_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> loop_gone_{false};  // the loop thread and workers have ended
  std::thread thread_;
  std::thread::id loop_thread_id_;
};

// Raises the process's open-file soft limit to the hard limit at start and
// logs when it stays below what the configured ports may need (a descriptor
// per connection, kConnectionsPerPort per port, plus a reserve).
inline constexpr uint64_t kConnectionsPerPort = 10000;
void PrepareOpenFileLimit(size_t port_count, ILogWriter& log);

}  // namespace vd
