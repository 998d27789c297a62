#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "config/driver_settings.h"
#include "device/device_message.h"
#include "device/signal_sink.h"
#include "platform/system_clock.h"
#include "support/system_event_sink.h"
#include "support/time_utils.h"

namespace vd {
namespace {

class DiscardingSignalSink final : public ISignalSink {
 public:
  bool AddSignal(TSignal signal) override {
    benchmark::DoNotOptimize(signal);
    return true;
  }
};

class DiscardingEventSink final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

struct Fixture {
  Fixture() {
    // A zone with daylight saving rules, as on a production host.
    setenv("TZ", "Europe/Warsaw", 1);
    tzset();
    PortEntry& entry = settings.Ports.emplace_back();
    entry.PortNumber = 1;
    entry.PortName = "Port 1";
    entry.DriverPassword = "secret";
  }

  DriverSettings settings;
  SystemClock clock;
  DiscardingSignalSink signals;
  DiscardingEventSink events;
  TDeviceMessageParser parser{settings, clock, signals, events};
  ReplyWriter reply = [](const std::string& text) { benchmark::DoNotOptimize(text.data()); };
};

void Run(benchmark::State& state, const std::string& message) {
  Fixture fixture;
  for (auto _ : state) {
    const bool handled = fixture.parser.ParseDeviceMessage(message, 1, "G", fixture.reply);
    benchmark::DoNotOptimize(handled);
  }
  state.SetItemsProcessed(state.iterations());
}

// The common case: an event report with a hardware number, code and zone.
void BM_ParseSignalMessage(benchmark::State& state) {
  Run(state,
      "[AB011234"
      "02AD"
      "20240115123045"
      "07"
      "|"
      "25678xyE130012007"
      "]");
}
BENCHMARK(BM_ParseSignalMessage);

// A time request: a reply is built with the local time, no signal.
void BM_ParseTimeRequest(benchmark::State& state) {
  Run(state,
      "[AB011234"
      "02AC"
      "20240115123045"
      "07"
      "|"
      "]");
}
BENCHMARK(BM_ParseTimeRequest);

// An unreadable date takes the error path of the date conversion.
void BM_ParseMessageWithBadDate(benchmark::State& state) {
  Run(state,
      "[AB011234"
      "02AD"
      "2024xx15123045"
      "07"
      "|"
      "25678xyE130012007"
      "]");
}
BENCHMARK(BM_ParseMessageWithBadDate);

// The local wall clock alone, which every message reads once or twice.
void BM_NowLocalUnix(benchmark::State& state) {
  Fixture fixture;
  for (auto _ : state) benchmark::DoNotOptimize(NowLocalUnix(fixture.clock));
}
BENCHMARK(BM_NowLocalUnix);

}  // namespace
}  // namespace vd
