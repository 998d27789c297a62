#include "service/sys_thread.h"

#include <chrono>
#include <exception>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/port_listener.h"
#include "device/signal.h"
#include "kernel/kernel_settings.h"
#include "support/errors.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"
#include "support/text_encoding.h"
#include "support/text_utils.h"
#include "support/time_utils.h"

namespace vd {
namespace {

constexpr char kStaleSignalsText[] =
    "Amount of not analysed signals for {0} minutes is {1} Check the driver!";
constexpr char kGrowthText[] = "Amount of signals in buffer grows. Check the driver!";
constexpr char kTestSignalRefusedText[] = "Manual test signal not added to buffer";
constexpr char kTestSignalErrorText[] = "Error while trying to send manual test signal";
constexpr char kCycleErrorText[] = "System thread error.";

}  // namespace

TSys_Thr::TSys_Thr(const Collaborators& collaborators)
    : c_(collaborators),
      test_signal_timer_(NewCountdownTimer(c_.Clock, false, false, kTestSignalSeconds)),
      growth_timer_(NewCountdownTimer(c_.Clock, false, false, kGrowthEventSeconds)) {
  // Created here rather than on the thread, so that the owner may look at
  // them while the thread runs; they stay closed until a cycle opens them.
  for (size_t i = 0; i < c_.Settings.Ports.size(); ++i) {
    listeners_.push_back(std::make_unique<TPortListener>(c_.Reception, c_.Settings.Ports[i].Port,
                                                         static_cast<int32_t>(i + 1)));
  }
}

TSys_Thr::~TSys_Thr() {
  Terminate();
  WaitFor();
}

void TSys_Thr::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TSys_Thr::Terminate() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    terminated_ = true;
  }
  woken_.notify_all();
}

void TSys_Thr::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

bool TSys_Thr::Terminated() {
  std::lock_guard<std::mutex> guard(mutex_);
  return terminated_;
}

void TSys_Thr::Execute() {
  try {
    Begin();
    while (!Terminated()) {
      RunCycle();
      BeginWait();
      while (!WaitOver()) {
        std::unique_lock<std::mutex> lock(mutex_);
        woken_.wait_for(lock, std::chrono::milliseconds(kPauseMs), [this] { return terminated_; });
        lock.unlock();
        AfterPause();
      }
    }
  } catch (...) {
    // Begin and the steps report their own errors; this is the last guard
    // so that nothing escapes the thread.
    c_.Log.LogWrite("System thread exception: " + CurrentExceptionText());
  }
  End();
}

void TSys_Thr::Begin() {
  heartbeat_.Beat(c_.Clock.MonotonicMs());
  sleep_mode_ = true;
  cycle_inactive_ = true;
  growth_count_ = 0;
  previous_total_ = 0;
  growth_timer_->Reset();
  test_signal_timer_->Restart();
}

void TSys_Thr::RunCycle() {
  heartbeat_.Beat(c_.Clock.MonotonicMs());
  try {
    const bool inactive = c_.KernelSettings.IsInactive();
    cycle_inactive_ = inactive;
    if (inactive != sleep_mode_) {
      c_.Log.LogWrite(std::string("Is in sleep mode? ") + (inactive ? "True" : "False"));
    }
    sleep_mode_ = inactive;

    if (!inactive) {
      OpenPorts();
      c_.Signals.CheckInactivity();
    } else {
      ClosePorts();
    }
    c_.Questions.CheckTimeouts();

    int32_t old_count = 0;
    int32_t total = 0;
    if (c_.Signals.CountOldSignals(old_count, total)) {
      c_.Events.AddSystemEvent(
          FormatPlaceholders(kStaleSignalsText, {kStaleSignalMinutes, old_count}), "", true);
    }
    if (previous_total_ < total) {
      ++growth_count_;
    } else {
      growth_count_ = 0;
      growth_timer_->Reset();
    }
    if (growth_count_ >= kGrowthCycles && !growth_timer_->IsRunning()) {
      c_.Events.AddSystemEvent(kGrowthText, "", true);
      growth_timer_->Restart();
    }
    previous_total_ = total;

    SendTestSignalWhenDue();
  } catch (...) {
    ReportCycleError(CurrentExceptionText());
  }
}

void TSys_Thr::BeginWait() { cycle_start_local_ = NowLocalUnix(c_.Clock); }

bool TSys_Thr::WaitOver() {
  if (Terminated()) return true;
  const int64_t now = NowLocalUnix(c_.Clock);
  if (now - cycle_start_local_ >= kCycleSeconds) return true;
  if (now < cycle_start_local_) return true;
  return c_.KernelSettings.IsInactive() != cycle_inactive_;
}

void TSys_Thr::AfterPause() {
  heartbeat_.Beat(c_.Clock.MonotonicMs());
  try {
    SendTestSignalWhenDue();
  } catch (...) {
    ReportCycleError(CurrentExceptionText());
  }
}

void TSys_Thr::End() {
  try {
    ClosePorts();
  } catch (...) {
    c_.Log.LogWrite("System thread exception: " + CurrentExceptionText());
  }
}

void TSys_Thr::OpenPorts() {
  for (auto& listener : listeners_) {
    if (listener->IsOpen()) continue;
    // A port that cannot be opened (its TCP port in use, say) must not keep
    // the ports after it closed: each is tried, and tried again next cycle.
    try {
      listener->Open();
    } catch (...) {
      ReportCycleError(CurrentExceptionText());
      continue;
    }
    const std::string port = "TCP" + std::to_string(listener->Port());
    c_.Events.AddSystemEvent("Port " + port + " opened.", "", false);
    c_.Log.LogWrite("Port opened: " + port);
  }
}

void TSys_Thr::ClosePorts() {
  for (size_t i = 0; i < listeners_.size(); ++i) {
    TPortListener& listener = *listeners_[i];
    if (!listener.IsOpen()) continue;
    listener.Close();
    const std::string port = "TCP" + std::to_string(c_.Settings.Ports[i].PortNumber);
    c_.Events.AddSystemEvent("Port " + port + " closed.", "", false);
    c_.Log.LogWrite("Port closed: " + port);
  }
}

void TSys_Thr::SendTestSignalWhenDue() {
  if (test_signal_timer_->IsRunning()) return;
  SendTestSignal();
  test_signal_timer_->Restart();
}

void TSys_Thr::SendTestSignal() {
  try {
    TSignal signal;
    signal.TimeIn = NowLocalUnix(c_.Clock);
    signal.TimeSource = signal.TimeIn;
    signal.SourceTimeValid = false;
    signal.DriverName = Utf8ToWin1250(c_.Settings.Name);
    signal.DriverPort = 0;
    signal.SignalType = kTestSignalType;
    signal.CanalType = "?";
    signal.Value = 0;
    if (!c_.TestSignals.AddSignal(std::move(signal))) {
      c_.Events.AddSystemEvent(kTestSignalRefusedText, "", true);
    }
  } catch (const std::exception& error) {
    c_.Events.AddSystemEvent(kTestSignalErrorText, error.what(), true);
  } catch (...) {
    c_.Events.AddSystemEvent(kTestSignalErrorText, "", true);
  }
}

void TSys_Thr::ReportCycleError(const std::string& error_text) {
  c_.Events.AddSystemEvent(kCycleErrorText, error_text, true);
  c_.Log.LogWrite("System thread exception: " + error_text);
}

}  // namespace vd
