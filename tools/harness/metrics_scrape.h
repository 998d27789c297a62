// ScrapeMetrics: one GET /metrics from a loopback metrics listener, as
// Prometheus would scrape it, for the end-to-end tests and benchmarks.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vd {

// Every sample of the Prometheus text format, keyed by its series as written
// ("volterdirect_signals_pending", "volterdirect_connections_open{port=\"1\",
// name=\"North\"}"); comment lines are skipped. Nothing when the listener on
// 127.0.0.1:port does not answer with 200 within timeout_ms.
std::optional<std::map<std::string, double>> ScrapeMetrics(int32_t port, int timeout_ms = 5000);

}  // namespace vd
