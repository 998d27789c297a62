#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <vector>

#include "service/driver_view.h"

namespace vd {

// The driver's figures as Prometheus metric families, read at scrape time
// from the running driver (TDriverView): the counters are atomics of their
// owners, the gauges their owners' state read under the owners' own locks
// for a moment. Nothing is counted here, so the signal path takes no lock
// for the metrics. A component the view lacks leaves its families out.
// Every family is listed, with its meaning, in README ("Metrics").
//
// Collect is called by the listener's threads; the view's objects are safe
// to read from any thread.
class TMetricsCollector final : public prometheus::Collectable {
 public:
  explicit TMetricsCollector(const TDriverView& view);

  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  const TDriverView view_;
};

}  // namespace vd
