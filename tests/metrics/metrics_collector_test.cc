#include "metrics/metrics_collector.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/driver_settings.h"
#include "device/device_control.h"
#include "device/dos_attack_control.h"
#include "device/port_listener.h"
#include "device/reception_loop.h"
#include "fakes/eventually.h"
#include "fakes/fake_clock.h"
#include "fakes/loopback_transmitter.h"
#include "fakes/recording_sinks.h"

namespace vd {
namespace {

// Each sample as "name{label="value",...}" -> value.
std::map<std::string, double> Samples(const TMetricsCollector& collector) {
  std::map<std::string, double> samples;
  for (const prometheus::MetricFamily& family : collector.Collect()) {
    for (const prometheus::ClientMetric& metric : family.metric) {
      std::string key = family.name;
      for (size_t i = 0; i < metric.label.size(); ++i) {
        key += (i == 0 ? "{" : ",") + metric.label[i].name + "=\"" + metric.label[i].value + "\"";
      }
      if (!metric.label.empty()) key += "}";
      samples[key] = family.type == prometheus::MetricType::Counter ? metric.counter.value
                                                                    : metric.gauge.value;
    }
  }
  return samples;
}

// Two device ports on a real reception loop; only the second is used, so a
// figure counted on the wrong port, twice or not at all shows.
class MetricsCollectorTest : public testing::Test {
 protected:
  MetricsCollectorTest() {
    for (int32_t number : {7, 9}) {
      PortEntry& port = settings_.Ports.emplace_back();
      port.PortNumber = number;
      port.PortName = number == 7 ? "North" : "South";
      port.FloodControl = std::make_shared<TDoSAttackControl>(clock_);
    }
    loop_ = std::make_unique<TReceptionLoop>(
        TReceptionContext{settings_, clock_, signals_, events_, log_, controls_,
                          [](uint16_t, const std::string&) { return true; }});
    for (int32_t i = 1; i <= 2; ++i) {
      listeners_.push_back(std::make_unique<TPortListener>(*loop_, 0, i));
      listeners_.back()->Open();
    }
    collector_ = std::make_unique<TMetricsCollector>(
        TDriverView{clock_, settings_, nullptr, nullptr, nullptr, nullptr, nullptr, loop_.get(),
                    nullptr, nullptr, nullptr, clock_.MonotonicMs(), clock_.UtcNowMs()});
  }
  ~MetricsCollectorTest() override {
    listeners_.clear();
    loop_->Stop();
  }

  // Waits (bounded) until the sample has the value.
  bool Reaches(const std::string& sample, double value) {
    return Eventually([&] { return Samples(*collector_)[sample] == value; });
  }

  FakeClock clock_;
  DriverSettings settings_;
  RecordingSignalSink signals_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  TDeviceParamControlBuffer controls_;
  std::unique_ptr<TReceptionLoop> loop_;
  std::vector<std::unique_ptr<TPortListener>> listeners_;
  std::unique_ptr<TMetricsCollector> collector_;
};

TEST_F(MetricsCollectorTest, PortFiguresMoveOnTheirOwnPortOnlyAndCountEachFrameOnce) {
  const std::string south = "{port=\"9\",name=\"South\"}";
  const std::string north = "{port=\"7\",name=\"North\"}";
  LoopbackTransmitter client(listeners_[1]->Port());
  EXPECT_TRUE(Reaches("volterdirect_connections_open" + south, 1));
  client.Send("[]");  // an empty body
  EXPECT_TRUE(Reaches("volterdirect_invalid_frames_total" + south, 1));
  client.Send("[]");
  EXPECT_TRUE(Reaches("volterdirect_invalid_frames_total" + south, 2));
  client.Close();
  EXPECT_TRUE(Reaches("volterdirect_connections_open" + south, 0));

  std::map<std::string, double> samples = Samples(*collector_);
  EXPECT_EQ(samples["volterdirect_invalid_frames_total" + south], 2);
  EXPECT_EQ(samples.at("volterdirect_invalid_frames_total" + north), 0);
  EXPECT_EQ(samples.at("volterdirect_connections_open" + north), 0);
  clock_.Advance(2500);
  EXPECT_NEAR(
      Samples(*collector_)["volterdirect_worker_heartbeat_age_seconds{worker=\"reception\"}"], 2.5,
      1.0);
}

}  // namespace
}  // namespace vd
