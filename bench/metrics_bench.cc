// What the metrics cost the signal path: AddSignal with and without a
// metrics listener, in one run. With the listener a scraper thread scrapes
// it back to back over loopback (far more often than any Prometheus would),
// so that every scrape's reads of the buffer meet the producers. A consumer
// takes the signals out again as the Kernel link would, so the buffer never
// fills. Flushing is off by default, so that the disk does not hide the
// difference; flush 1 shows it in proportion. Compare items_per_second of
// the rows with listener 0 and 1; "scrapes" counts the scrapes served.
//
// The directory is made under $VD_BENCH_DIR, else /var/tmp.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench_directory.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "free_port.h"
#include "metrics/metrics_listener.h"
#include "metrics_scrape.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"

namespace vd {
namespace {

class NoEvents final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

struct Rig {
  Rig(bool flush, bool listener)
      : buffer(fs, clock, events, log, Settings(), directory.Path(), flush, [this] { Wake(); }) {
    InitPortSignal(signal, 1, settings, clock);
    signal.HardwareNumber = "0417";
    signal.Code = "E130";
    signal.Extension1 = "Burglary alarm - zone 12, ground floor, rear entrance";
    drain = std::thread([this] { Drain(); });
    if (listener) {
      const int32_t port = FreeLoopbackPort();
      metrics = std::make_unique<TMetricsListener>(
          "127.0.0.1:" + std::to_string(port),
          TDriverView{clock, settings, &buffer, nullptr, nullptr, nullptr, nullptr, nullptr,
                      nullptr, nullptr, nullptr, clock.MonotonicMs(), clock.UtcNowMs()});
      scraper = std::thread([this, port] {
        while (!stop_scraping) scrapes += ScrapeMetrics(port).has_value();
      });
    }
  }
  ~Rig() {
    stop_scraping = true;
    if (scraper.joinable()) scraper.join();
    metrics.reset();
    {
      std::lock_guard<std::mutex> guard(mutex);
      stop = true;
    }
    woken.notify_one();
    drain.join();
  }
  const DriverSettings& Settings() {
    settings.Ports.resize(1);
    settings.Ports[0].PortNumber = 1;
    settings.Ports[0].PortName = "Warehouse North";
    return settings;
  }
  void Wake() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      work = true;
    }
    woken.notify_one();
  }
  void Drain() {
    TSignal first;
    TGuid id;
    for (;;) {
      while (buffer.GetFirstSignal(first, id)) buffer.RemoveSignal(id);
      std::unique_lock<std::mutex> lock(mutex);
      woken.wait(lock, [this] { return work || stop; });
      if (stop) return;
      work = false;
    }
  }

  BenchDirectory directory;
  PosixFileSystem fs;
  SystemClock clock;
  NoEvents events;
  NullLogWriter log;
  DriverSettings settings;
  TSignalBuffer buffer;
  TSignal signal;
  std::mutex mutex;
  std::condition_variable woken;
  bool work = false;
  bool stop = false;
  std::thread drain;
  std::unique_ptr<TMetricsListener> metrics;
  std::atomic<bool> stop_scraping{false};
  std::atomic<int64_t> scrapes{0};
  std::thread scraper;
};

// state.range(0): a scraped metrics listener (1) or none (0); range(1): flush.
void BM_AddSignal(benchmark::State& state) {
  static std::unique_ptr<Rig> rig;
  static std::atomic<int64_t> refused;
  if (state.thread_index() == 0) {
    rig = std::make_unique<Rig>(state.range(1) != 0, state.range(0) != 0);
    refused = 0;
  }
  int64_t refused_here = 0;
  for (auto _ : state) {
    if (!rig->buffer.AddSignal(rig->signal)) {
      ++refused_here;
      ++refused;
    }
  }
  state.SetItemsProcessed(state.iterations() - refused_here);
  if (state.thread_index() == 0) {
    state.counters["refused"] = static_cast<double>(refused.load());
    state.counters["scrapes"] = static_cast<double>(rig->scrapes.load());
    rig.reset();
  }
}
BENCHMARK(BM_AddSignal)
    ->ArgNames({"listener", "flush"})
    ->ArgsProduct({{0, 1}, {0}})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Threads(1)
    ->Threads(16)
    ->UseRealTime();

}  // namespace
}  // namespace vd
