#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/heartbeat.h"
#include "support/timers.h"

namespace vd {

class IClock;
class ILogWriter;
class ISignalSink;
class ISystemEventSink;
class TKernelSettings;
class TPortListener;
class TQuestionsBuffer;
class TReceptionLoop;
class TSignalBuffer;
struct DriverSettings;

// The driver's supervision thread. Owns the device port listeners (one per
// entry of DriverSettings::Ports, created closed with the object): opens them while the
// Kernel holds the driver active and closes them while it is asleep
// (TKernelSettings::IsInactive). Once a minute it runs a cycle of checks over
// the buffers (silent ports, expired questions, stale and growing signal
// buffer) and every 60 seconds it puts a test signal into the signal buffer.
//
// Between cycles the thread wakes every second; the wait ends early when the
// sleep mode changes, when the wall clock was set back, or at Terminate.
// Every time rule runs on the clock; only the one-second pause of the
// thread's own loop is real time, and Terminate cuts it short.
//
// The steps of the loop (Begin, RunCycle, BeginWait, WaitOver, AfterPause,
// End) are public so that tests can drive them on a fake clock without
// starting the thread; once Start was called they belong to the thread.
//
// Threads: Start, Terminate and WaitFor belong to the owner (the start and
// stop sequences); the destructor terminates and joins. The collaborators
// are borrowed and must outlive the object; they lock themselves. The
// settings are read without a lock.
class TSys_Thr {
 public:
  static constexpr int64_t kCycleSeconds = 60;
  static constexpr int64_t kPauseMs = 1000;
  static constexpr int64_t kTestSignalSeconds = 60;
  static constexpr int32_t kStaleSignalMinutes = 5;
  static constexpr int32_t kGrowthCycles = 3;
  static constexpr int64_t kGrowthEventSeconds = 60;

  struct Collaborators {
    const DriverSettings& Settings;
    const IClock& Clock;
    TKernelSettings& KernelSettings;
    TSignalBuffer& Signals;
    // Where test signals go (normally Signals).
    ISignalSink& TestSignals;
    TQuestionsBuffer& Questions;
    ISystemEventSink& Events;
    ILogWriter& Log;
    TReceptionLoop& Reception;
  };

  explicit TSys_Thr(const Collaborators& collaborators);
  ~TSys_Thr();

  TSys_Thr(const TSys_Thr&) = delete;
  TSys_Thr& operator=(const TSys_Thr&) = delete;

  // Starts the thread, which runs Begin, then cycles and waits until
  // terminated, then End.
  void Start();
  // Asks the thread to end; it notices within the current pause.
  void Terminate();
  // Waits until the thread has ended (closing every port first).
  void WaitFor();

  // The steps of the thread's loop.
  // Assumes sleep mode, clears the growth count and restarts the test-signal
  // countdown.
  void Begin();
  // One cycle of checks; errors are reported, never raised.
  void RunCycle();
  // Notes the cycle's start on the local wall clock.
  void BeginWait();
  // Whether the wait after a cycle is over: terminated, a whole cycle period
  // passed, the clock set back before the cycle's start, or the sleep mode
  // changed since the cycle read it.
  bool WaitOver();
  // After each pause of the wait: the test signal when it is due.
  void AfterPause();
  // Closes every open port.
  void End();

  // Safe to call from any thread.
  bool SleepMode() const { return sleep_mode_.load(); }
  // Beats at every cycle and every wake-up of the wait; safe to read from any
  // thread.
  const THeartbeat& Heartbeat() const { return heartbeat_; }
  // The listeners, one per port entry in order; their IsOpen and Port may be
  // read from any thread.
  const std::vector<std::unique_ptr<TPortListener>>& Listeners() const { return listeners_; }

 private:
  void Execute();
  // Opens every port not open; a port that cannot be opened is reported and
  // the others are still opened.
  void OpenPorts();
  void ClosePorts();
  void SendTestSignal();
  void SendTestSignalWhenDue();
  void ReportCycleError(const std::string& error_text);
  bool Terminated();

  // Constant after construction.
  const Collaborators c_;

  // The loop's state: the thread's alone once started.
  std::unique_ptr<ICountdownTimer> test_signal_timer_;
  std::unique_ptr<ICountdownTimer> growth_timer_;
  std::atomic<bool> sleep_mode_{true};  // written by the loop, read by anyone
  bool cycle_inactive_ = true;          // the flag as the last cycle read it
  int32_t growth_count_ = 0;
  int32_t previous_total_ = 0;
  int64_t cycle_start_local_ = 0;
  // Constant after construction; their state is their own.
  std::vector<std::unique_ptr<TPortListener>> listeners_;

  std::mutex mutex_;
  std::condition_variable woken_;
  bool terminated_ = false;  // guarded by mutex_
  THeartbeat heartbeat_;
  std::thread thread_;
};

}  // namespace vd
