#pragma once

#include <cstdint>
#include <memory>

#include "support/clock.h"

namespace vd {

// Every time argument and result of the timers below comes with a flag
// in_milliseconds: true means milliseconds, false whole seconds. Seconds given
// in are multiplied by 1000; a result in seconds is the millisecond value
// divided by 1000, truncated toward zero.

// Counts time on the monotonic clock (IClock::Ticks) from a settable value.
// While running, the current value is now + offset; stopped, it holds still.
// No lock: a stopwatch belongs to one thread, which alone may call it. The
// clock must outlive the stopwatch.
class TStopwatch {
 public:
  // Set to initial_value (SetTime), then running if start_running.
  explicit TStopwatch(const IClock& clock, bool start_running = false, bool in_milliseconds = true,
                      int64_t initial_value = 0);

  // Continues counting from the current value; no effect when running.
  void Start();
  // Brings the value up to date, stops, and returns the value in ms.
  int64_t Stop();
  // Back to the value of the last SetTime, stopped.
  void Reset();
  // Back to the value of the last SetTime, running.
  void Restart();
  // Stops and sets both the value and the start value; returns the new
  // offset (value - now) in ms.
  int64_t SetTime(bool in_milliseconds, int64_t new_value);
  // The current value.
  int64_t GetElapsed(bool in_milliseconds);
  bool IsRunning() const { return running_; }
  // The value given to the last SetTime.
  int64_t GetStartValue(bool in_milliseconds) const;

 private:
  int64_t NowMs() const { return clock_.Ticks(true); }

  const IClock& clock_;
  bool running_ = false;
  int64_t offset_ = 0;       // ms; while running the value is now + offset_
  int64_t start_value_ = 0;  // ms
  int64_t value_ = 0;        // ms; when last read or stopped
};

// A countdown of a fixed interval on the monotonic clock. A timer whose time
// is up stops by itself the next time it is asked (GetRemaining, IsRunning)
// and is not resumed by Start; Restart runs it again for the whole interval.
// Implementations have no lock: a timer belongs to one thread, which alone
// may call it.
class ICountdownTimer {
 public:
  virtual ~ICountdownTimer() = default;

  // Resumes counting where it stopped, unless running or expired.
  virtual void Start() = 0;
  // Stops counting; the elapsed time stays.
  virtual void Stop() = 0;
  // Elapsed time back to 0, stopped: the whole interval remains.
  virtual void Reset() = 0;
  // Elapsed time back to 0, running.
  virtual void Restart() = 0;
  // A new interval; the elapsed time goes back to 0, stopped.
  virtual void SetInterval(bool in_milliseconds, int64_t new_interval) = 0;
  // Interval - elapsed, at least 0 (in seconds 999 ms remaining read as 0).
  // Stops the timer when nothing remains.
  virtual int64_t GetRemaining(bool in_milliseconds) = 0;
  // Whether the timer counts; a timer whose time is up reports false.
  virtual bool IsRunning() = 0;
  virtual int64_t GetInterval(bool in_milliseconds) const = 0;
};

// The countdown timer: a stopwatch counting the elapsed time from 0 and the
// interval it is measured against. Owns its stopwatch; see ICountdownTimer
// for the thread rule.
class TCountdownTimer final : public ICountdownTimer {
 public:
  // Stopped, elapsed 0, interval 0. The clock must outlive the timer.
  explicit TCountdownTimer(const IClock& clock);

  void Start() override;
  void Stop() override;
  void Reset() override;
  void Restart() override;
  void SetInterval(bool in_milliseconds, int64_t new_interval) override;
  int64_t GetRemaining(bool in_milliseconds) override;
  bool IsRunning() override;
  int64_t GetInterval(bool in_milliseconds) const override;

 private:
  TStopwatch stopwatch_;
  int64_t interval_ = 0;  // ms
};

// A countdown of the given interval, started at once when start_now. The
// clock must outlive the timer.
std::unique_ptr<ICountdownTimer> NewCountdownTimer(const IClock& clock, bool in_milliseconds,
                                                   bool start_now, int64_t interval);

}  // namespace vd
