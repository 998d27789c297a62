#include "device/reception_loop.h"

#include <condition_variable>
#include <mutex>

#include "config/driver_settings.h"
#include "device/device_connection.h"
#include "platform/open_file_limit.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/log_writer.h"

namespace vd {

TReceptionLoop::TReceptionLoop(TReceptionContext context)
    : TReceptionLoop(std::move(context), Options{}) {}

TReceptionLoop::TReceptionLoop(TReceptionContext context, Options options)
    : context_(std::move(context)),
      options_(options),
      workers_(options.Workers == 0 ? 1 : options.Workers),
      work_(asio::make_work_guard(io_)),
      sweep_timer_(io_),
      read_buffer_(new char[kMaxReadBytes]),
      port_count_(context_.Settings.Ports.size()),
      port_counters_(new TPortCounters[port_count_]) {
  heartbeat_.Beat(context_.Clock.MonotonicMs());
  ArmSweep();
  thread_ = std::thread([this] {
    // Every handler catches its own errors; this only keeps the loop alive.
    for (int restarts = 0; restarts < 1000; ++restarts) {
      try {
        io_.run();
        return;
      } catch (...) {
        context_.Log.LogWrite("Reception loop exception: " + CurrentExceptionText());
      }
    }
  });
  loop_thread_id_ = thread_.get_id();
}

TReceptionLoop::~TReceptionLoop() { Stop(); }

void TReceptionLoop::RunOnLoop(const std::function<void()>& fn) {
  // On the loop thread, or once the loop is gone and nothing else runs its work.
  if (std::this_thread::get_id() == loop_thread_id_ || loop_gone_) {
    fn();
    return;
  }
  // The error crosses threads as a copy, made on the loop thread.
  struct Outcome {
    std::mutex lock;
    std::condition_variable ran;
    bool done = false;
    std::function<void()> rethrow;
  };
  auto outcome = std::make_shared<Outcome>();
  asio::post(io_, [outcome, fn] {
    std::function<void()> rethrow;
    try {
      fn();
    } catch (const EOSError& error) {
      rethrow = [code = error.ErrorCode(), message = error.Message()] {
        throw EOSError(code, message);
      };
    } catch (...) {
      rethrow = [text = CurrentExceptionText()] { throw Exception(text); };
    }
    std::lock_guard<std::mutex> guard(outcome->lock);
    outcome->rethrow = std::move(rethrow);
    outcome->done = true;
    outcome->ran.notify_all();
  });
  std::unique_lock<std::mutex> guard(outcome->lock);
  if (!outcome->ran.wait_for(guard, kRunOnLoopWait, [&] { return outcome->done; }))
    throw Exception("The reception loop did not run a task within a minute");
  if (outcome->rethrow) outcome->rethrow();
}

void TReceptionLoop::Stop() {
  if (stopped_.exchange(true)) return;
  RunOnLoop([this] {
    sweep_timer_.cancel();
    StopConnections({});
    paused_.clear();
  });
  work_.reset();
  io_.stop();
  if (thread_.joinable()) thread_.join();
  workers_.join();
  loop_gone_ = true;
}

void TReceptionLoop::ArmSweep() {
  sweep_timer_.expires_after(options_.SweepPeriod);
  sweep_timer_.async_wait([this](const asio::error_code& ec) {
    if (ec) return;
    Sweep();
    ArmSweep();
  });
}

void TReceptionLoop::Sweep() {
  heartbeat_.Beat(context_.Clock.MonotonicMs());
  const int64_t now = context_.Clock.Ticks(false);
  // Backwards: a connection that ends takes the last entry's place, which
  // has been swept already.
  for (size_t i = connections_.size(); i-- > 0;) {
    if (i < connections_.size()) connections_[i]->Sweep(now);
  }
}

const TPortCounters* TReceptionLoop::PortCounters(int32_t port_number) const {
  if (port_number < 1 || static_cast<size_t>(port_number) > port_count_) return nullptr;
  return &port_counters_[static_cast<size_t>(port_number - 1)];
}

void TReceptionLoop::CountInvalidFrame(int32_t port_number) {
  if (port_number < 1 || static_cast<size_t>(port_number) > port_count_) return;
  port_counters_[static_cast<size_t>(port_number - 1)].InvalidFrames.fetch_add(
      1, std::memory_order_relaxed);
}

void TReceptionLoop::CountConnection(int32_t port_number, int64_t delta) {
  if (port_number < 1 || static_cast<size_t>(port_number) > port_count_) return;
  port_counters_[static_cast<size_t>(port_number - 1)].OpenConnections.fetch_add(
      delta, std::memory_order_relaxed);
}

void TReceptionLoop::Register(const std::shared_ptr<TDeviceConnection>& connection) {
  connection->SetRegistryIndex(connections_.size());
  connections_.push_back(connection);
  connection_count_.store(connections_.size());
  CountConnection(connection->PortNumber(), 1);
}

void TReceptionLoop::Unregister(TDeviceConnection& connection) {
  const size_t index = connection.RegistryIndex();
  if (index >= connections_.size() || connections_[index].get() != &connection) return;
  CountConnection(connection.PortNumber(), -1);
  if (index + 1 != connections_.size()) {
    connections_[index] = std::move(connections_.back());
    connections_[index]->SetRegistryIndex(index);
  }
  connections_.pop_back();
  connection_count_.store(connections_.size());
}

void TReceptionLoop::StopConnections(const std::function<bool(const TDeviceConnection&)>& filter) {
  for (size_t i = connections_.size(); i-- > 0;) {
    if (i < connections_.size() && (!filter || filter(*connections_[i]))) connections_[i]->Stop();
  }
}

void TReceptionLoop::Pause(const std::shared_ptr<TDeviceConnection>& connection) {
  paused_.push_back(connection);
  any_paused_ = true;
  // The workers may have caught up before the flag was up.
  if (backlog_.load() <= options_.MaxBacklog / 2) ResumePaused();
}

void TReceptionLoop::WorkDone() {
  if (backlog_.fetch_sub(1) - 1 <= options_.MaxBacklog / 2 && any_paused_.exchange(false))
    asio::post(io_, [this] { ResumePaused(); });
}

void TReceptionLoop::ResumePaused() {
  any_paused_ = false;
  std::vector<std::shared_ptr<TDeviceConnection>> resumed;
  resumed.swap(paused_);
  for (const auto& connection : resumed) connection->Resume();
}

void PrepareOpenFileLimit(size_t port_count, ILogWriter& log) {
  const uint64_t wanted = port_count * kConnectionsPerPort + 256;
  try {
    const OpenFileLimit limit = RaiseOpenFileLimit();
    log.LogWrite("Open file limit: " + std::to_string(limit.Soft) + " (hard " +
                 std::to_string(limit.Hard) + ")");
    if (limit.Soft < wanted) {
      log.LogWrite("Open file limit " + std::to_string(limit.Soft) + " is below the " +
                   std::to_string(wanted) + " that " + std::to_string(port_count) +
                   " device ports may need");
    }
  } catch (const std::exception& error) {
    log.LogWrite("Open file limit unknown: " + ExceptionText(error));
  }
}

}  // namespace vd
