#pragma once

#include <memory>
#include <string>

#include "service/driver_view.h"

namespace prometheus {
class Exposer;
}  // namespace prometheus

namespace vd {

class TMetricsCollector;

// The metrics listener: serves GET /metrics in the Prometheus text format on
// one address ("127.0.0.1:9464", "[::1]:9464") with prometheus-cpp's pull
// exposer, from a TMetricsCollector over the view. Owns the exposer (its
// threads answer the scrapes) and the collector; the view's objects must
// outlive it. Made and destroyed by the start and stop sequences.
class TMetricsListener final : public IDriverListener {
 public:
  // Raises when the address cannot be bound.
  TMetricsListener(const std::string& address, const TDriverView& view);
  ~TMetricsListener() override;

  TMetricsListener(const TMetricsListener&) = delete;
  TMetricsListener& operator=(const TMetricsListener&) = delete;

  std::string Address() const override { return address_; }

  // The factory for TServiceHost::OpenMetrics.
  static std::unique_ptr<IDriverListener> Open(const std::string& address, const TDriverView& view);

 private:
  const std::string address_;
  std::shared_ptr<TMetricsCollector> collector_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace vd
