#include "metrics/metrics_listener.h"

#include <prometheus/exposer.h>

#include "metrics/metrics_collector.h"

namespace vd {
namespace {

// Two threads answer scrapes: one scraper at a time is the normal case.
constexpr size_t kListenerThreads = 2;

}  // namespace

TMetricsListener::TMetricsListener(const std::string& address, const TDriverView& view)
    : address_(address),
      collector_(std::make_shared<TMetricsCollector>(view)),
      exposer_(std::make_unique<prometheus::Exposer>(address, kListenerThreads)) {
  exposer_->RegisterCollectable(collector_);
}

// The exposer goes first, so that no scrape runs while the collector goes.
TMetricsListener::~TMetricsListener() { exposer_.reset(); }

std::unique_ptr<IDriverListener> TMetricsListener::Open(const std::string& address,
                                                        const TDriverView& view) {
  return std::make_unique<TMetricsListener>(address, view);
}

}  // namespace vd
