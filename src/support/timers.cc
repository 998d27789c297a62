#include "support/timers.h"

namespace vd {
namespace {

int64_t ToMs(bool in_milliseconds, int64_t value) { return in_milliseconds ? value : value * 1000; }

int64_t FromMs(bool in_milliseconds, int64_t ms) { return in_milliseconds ? ms : ms / 1000; }

}  // namespace

TStopwatch::TStopwatch(const IClock& clock, bool start_running, bool in_milliseconds,
                       int64_t initial_value)
    : clock_(clock) {
  SetTime(in_milliseconds, initial_value);
  running_ = start_running;
}

void TStopwatch::Start() {
  if (running_) return;
  offset_ = value_ - NowMs();
  running_ = true;
}

int64_t TStopwatch::Stop() {
  if (running_) value_ = NowMs() + offset_;
  running_ = false;
  return value_;
}

void TStopwatch::Reset() { SetTime(true, start_value_); }

void TStopwatch::Restart() {
  Reset();
  running_ = true;
}

int64_t TStopwatch::SetTime(bool in_milliseconds, int64_t new_value) {
  const int64_t ms = ToMs(in_milliseconds, new_value);
  running_ = false;
  start_value_ = ms;
  value_ = ms;
  offset_ = ms - NowMs();
  return offset_;
}

int64_t TStopwatch::GetElapsed(bool in_milliseconds) {
  if (running_) value_ = NowMs() + offset_;
  return FromMs(in_milliseconds, value_);
}

int64_t TStopwatch::GetStartValue(bool in_milliseconds) const {
  return FromMs(in_milliseconds, start_value_);
}

TCountdownTimer::TCountdownTimer(const IClock& clock) : stopwatch_(clock) {}

void TCountdownTimer::Start() {
  if (!stopwatch_.IsRunning() && GetRemaining(true) > 0) stopwatch_.Start();
}

void TCountdownTimer::Stop() { stopwatch_.Stop(); }

void TCountdownTimer::Reset() { stopwatch_.SetTime(true, 0); }

void TCountdownTimer::Restart() {
  stopwatch_.SetTime(true, 0);
  stopwatch_.Start();
}

void TCountdownTimer::SetInterval(bool in_milliseconds, int64_t new_interval) {
  interval_ = ToMs(in_milliseconds, new_interval);
  stopwatch_.SetTime(true, 0);
}

int64_t TCountdownTimer::GetRemaining(bool in_milliseconds) {
  int64_t remaining = interval_ - stopwatch_.GetElapsed(true);
  if (remaining <= 0) {
    remaining = 0;
    if (stopwatch_.IsRunning()) stopwatch_.Stop();
  }
  return FromMs(in_milliseconds, remaining);
}

bool TCountdownTimer::IsRunning() {
  if (stopwatch_.IsRunning()) GetRemaining(true);
  return stopwatch_.IsRunning();
}

int64_t TCountdownTimer::GetInterval(bool in_milliseconds) const {
  return FromMs(in_milliseconds, interval_);
}

std::unique_ptr<ICountdownTimer> NewCountdownTimer(const IClock& clock, bool in_milliseconds,
                                                   bool start_now, int64_t interval) {
  auto timer = std::make_unique<TCountdownTimer>(clock);
  timer->SetInterval(in_milliseconds, interval);
  if (start_now) timer->Start();
  return timer;
}

}  // namespace vd
