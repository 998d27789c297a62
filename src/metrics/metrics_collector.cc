#include "metrics/metrics_collector.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <string>
#include <utility>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/port_listener.h"
#include "device/reception_loop.h"
#include "kernel/kernel_settings.h"
#include "link/communication_data.h"
#include "link/kernel_link_thread.h"
#include "platform/disk_space.h"
#include "service/sys_thread.h"
#include "service/watchdog.h"
#include "support/clock.h"
#include "support/heartbeat.h"
#include "support/logging.h"
#include "support/version.h"

namespace vd {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

constexpr char kPrefix[] = "volterdirect_";

// Builds the families of one scrape.
class TFamilies {
 public:
  MetricFamily& Add(const std::string& name, const std::string& help, MetricType type) {
    families_.push_back(MetricFamily{kPrefix + name, help, type, {}});
    return families_.back();
  }
  void Gauge(const std::string& name, const std::string& help, double value, Labels labels = {}) {
    Sample(Add(name, help, MetricType::Gauge), value, std::move(labels));
  }
  void Counter(const std::string& name, const std::string& help, double value, Labels labels = {}) {
    Sample(Add(name, help, MetricType::Counter), value, std::move(labels));
  }
  static void Sample(MetricFamily& family, double value, Labels labels = {}) {
    ClientMetric metric;
    metric.label = std::move(labels);
    if (family.type == MetricType::Counter) {
      metric.counter.value = value;
    } else {
      metric.gauge.value = value;
    }
    family.metric.push_back(std::move(metric));
  }
  std::vector<MetricFamily> Take() {
    return std::vector<MetricFamily>(std::make_move_iterator(families_.begin()),
                                     std::make_move_iterator(families_.end()));
  }

 private:
  // A deque, so that a family added stays where it is while more are added.
  std::deque<MetricFamily> families_;
};

// The labels of a device port: its PortNumber and PortName.
Labels PortLabels(const PortEntry& port) {
  return {{"port", std::to_string(port.PortNumber)}, {"name", port.PortName}};
}

double Seconds(int64_t ms) { return static_cast<double>(ms) / 1000.0; }

double Flag(bool value) { return value ? 1 : 0; }

}  // namespace

TMetricsCollector::TMetricsCollector(const TDriverView& view) : view_(view) {}

std::vector<MetricFamily> TMetricsCollector::Collect() const {
  TFamilies f;
  const DriverSettings& settings = view_.Settings;
  const std::vector<PortEntry>& ports = settings.Ports;
  const int64_t now_ms = view_.Clock.MonotonicMs();

  f.Gauge("build_info", "The driver's version, as a label", 1, {{"version", kDriverVersion}});
  f.Gauge("start_time_seconds", "When this driver process started (UTC seconds since 1970)",
          Seconds(view_.StartUtcMs));

  MetricFamily& cache_errors =
      f.Add("cache_write_errors_total", "Cache files that could not be stored, per buffer",
            MetricType::Counter);
  if (view_.Signals != nullptr) {
    const TSignalBufferStats stats = view_.Signals->Stats();
    f.Gauge("signals_pending", "Signals waiting in the cache to be sent",
            static_cast<double>(stats.Pending));
    f.Gauge("signals_postponed", "Signals the Kernel refused, waiting for their delay",
            static_cast<double>(stats.Postponed));
    f.Gauge("test_signals_pending",
            "Of the signals pending or postponed, the driver's own test signals (one a minute)",
            static_cast<double>(stats.TestSignals));
    f.Gauge("signals_in_flight", "Signals accepted whose files are being written",
            static_cast<double>(stats.InFlight));
    f.Gauge("signal_buffer_capacity", "Pending signals at which new ones are refused",
            static_cast<double>(stats.Capacity));
    // The buffer holds reception times in UTC.
    const int64_t now_utc = view_.Clock.UtcNowMs() / 1000;
    f.Gauge("oldest_pending_signal_age_seconds",
            "Seconds since the oldest waiting signal (pending or postponed) was received",
            stats.OldestTimeIn
                ? static_cast<double>(std::max<int64_t>(0, now_utc - *stats.OldestTimeIn))
                : 0.0);
    MetricFamily& added =
        f.Add("signals_added_total", "Signals buffered per device port", MetricType::Counter);
    MetricFamily& refused =
        f.Add("signals_refused_total",
              "Signals refused per device port (buffer full, or the file could not be stored)",
              MetricType::Counter);
    for (size_t i = 0; i < stats.Ports.size() && i < ports.size(); ++i) {
      TFamilies::Sample(added, static_cast<double>(stats.Ports[i].Added), PortLabels(ports[i]));
      TFamilies::Sample(refused, static_cast<double>(stats.Ports[i].Refused), PortLabels(ports[i]));
    }
    TFamilies::Sample(cache_errors, static_cast<double>(stats.CacheWriteFailures),
                      {{"buffer", "signals"}});
  }

  if (view_.Questions != nullptr) {
    const TQuestionsBufferStats stats = view_.Questions->Stats();
    f.Gauge("questions_pending", "Questions queued, parked or waiting for the Kernel's answer",
            static_cast<double>(stats.Questions));
    f.Gauge("system_events_pending", "System events waiting to be sent to the Kernel",
            static_cast<double>(stats.Events));
    f.Counter("system_events_raised_total", "System events queued for the Kernel",
              static_cast<double>(stats.EventsRaised));
    f.Counter("system_events_dropped_total",
              "System events not queued (too many waiting, or not even memory for them)",
              static_cast<double>(stats.EventsDropped));
    TFamilies::Sample(cache_errors, static_cast<double>(stats.CacheWriteFailures),
                      {{"buffer", "questions"}});
  }

  if (view_.Reception != nullptr) {
    MetricFamily& invalid = f.Add("invalid_frames_total", "Invalid frames received per device port",
                                  MetricType::Counter);
    MetricFamily& open = f.Add("connections_open", "Transmitter connections open per device port",
                               MetricType::Gauge);
    for (size_t i = 0; i < ports.size(); ++i) {
      const TPortCounters* counters = view_.Reception->PortCounters(static_cast<int32_t>(i + 1));
      if (counters == nullptr) continue;
      TFamilies::Sample(invalid, static_cast<double>(counters->InvalidFrames.load()),
                        PortLabels(ports[i]));
      TFamilies::Sample(open, static_cast<double>(counters->OpenConnections.load()),
                        PortLabels(ports[i]));
    }
  }

  if (view_.SysThread != nullptr) {
    size_t listening = 0;
    for (const auto& listener : view_.SysThread->Listeners()) listening += listener->IsOpen();
    f.Gauge("listeners_open", "Device ports listening for transmitters",
            static_cast<double>(listening));
    f.Gauge("listeners_configured", "Active device ports configured (Port1, Port2, ...)",
            static_cast<double>(view_.SysThread->Listeners().size()));
    f.Gauge("sleep_mode", "1 while the Kernel holds the driver inactive (device ports closed)",
            Flag(view_.SysThread->SleepMode()));
  }

  if (view_.KernelLink != nullptr) {
    const TKernelLinkThread& link = *view_.KernelLink;
    f.Gauge("kernel_link_connected", "1 while the link has a connection to the Kernel",
            Flag(link.Connected()));
    const std::string endpoint = link.CurrentEndpoint();
    if (!endpoint.empty()) {
      f.Gauge("kernel_endpoint_info", "The Kernel endpoint of the current connection attempt", 1,
              {{"endpoint", endpoint}});
    }
    const int64_t last = link.LastGoodFrameMs();
    f.Gauge("kernel_last_answer_age_seconds",
            "Seconds since the Kernel last sent a good frame (since the start before the first)",
            Seconds(now_ms - (last == THeartbeat::kNever ? view_.StartMonotonicMs : last)));
  }
  if (view_.KernelSettings != nullptr) {
    f.Gauge("kernel_link_registered", "1 while the Kernel holds the driver registered",
            Flag(view_.KernelSettings->IsKernelRegistered()));
  }
  if (view_.CommunicationData != nullptr) {
    const TLinkCounters& counters = view_.CommunicationData->Counters();
    f.Counter("kernel_frames_sent_total", "Frames sent to the Kernel (resends included)",
              static_cast<double>(counters.FramesSent.load()));
    f.Counter("kernel_frames_resent_total", "Frames sent again because no answer came in time",
              static_cast<double>(counters.FramesResent.load()));
    f.Counter("kernel_frames_acknowledged_total", "The Kernel's acknowledgements (Direction 2)",
              static_cast<double>(counters.Acknowledged.load()));
    MetricFamily& refused =
        f.Add("kernel_frames_refused_total",
              "The Kernel's refusals, by Direction (3: retry, 9: error)", MetricType::Counter);
    TFamilies::Sample(refused, static_cast<double>(counters.RefusedRetry.load()),
                      {{"direction", "3"}});
    TFamilies::Sample(refused, static_cast<double>(counters.RefusedError.load()),
                      {{"direction", "9"}});
  }

  if (view_.Log != nullptr) {
    f.Counter("log_write_errors_total", "Session log lines that could not be written",
              static_cast<double>(view_.Log->WriteErrors()));
  }
  try {
    f.Gauge("cache_free_bytes", "Bytes still free on the file system of the cache directory",
            static_cast<double>(FreeDiskBytes(settings.CacheDirectory())));
  } catch (...) {
    // The directory cannot be examined now: the figure is left out.
  }

  MetricFamily& beats =
      f.Add("worker_heartbeat_age_seconds", "Seconds since each worker thread last passed its loop",
            MetricType::Gauge);
  const auto beat = [&](const char* worker, const THeartbeat& heartbeat) {
    const int64_t last = heartbeat.LastBeatMs();
    if (last != THeartbeat::kNever) {
      TFamilies::Sample(beats, Seconds(now_ms - last), {{"worker", worker}});
    }
  };
  if (view_.Reception != nullptr) beat("reception", view_.Reception->Heartbeat());
  if (view_.KernelLink != nullptr) beat("kernel_link", view_.KernelLink->Heartbeat());
  if (view_.SysThread != nullptr) beat("system", view_.SysThread->Heartbeat());
  if (view_.Watchdog != nullptr) {
    f.Counter("watchdog_stalls_total",
              "Worker threads found stalled by the watchdog, kept across restarts",
              static_cast<double>(view_.Watchdog->StallCount()));
  }
  return f.Take();
}

}  // namespace vd
