// transmitter-sim: many transmitters against one device port.
//
// Opens N connections, keeps them idle or sends messages at a given total
// rate from the first S of them (signals, time requests, garbage), measures
// the round trip of every time request and prints a summary. Ends by itself
// after --duration seconds or once --count messages have been sent.
#include <sys/resource.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/open_file_limit.h"
#include "support/errors.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int connections = 1;
  int senders = 0;  // 0: all connections send
  double rate = 0;  // messages per second over all senders; 0 keeps them idle
  int signals = 1, times = 1, garbage = 0;  // weights of the message kinds
  std::string id = "sim";
  double duration = 10;
  long count = 0;  // 0: no limit
};

void Usage() {
  std::fprintf(stderr,
               "usage: transmitter-sim --port P [--host H] [--connections N] [--senders S]\n"
               "         [--rate MSG_PER_S] [--signals W] [--times W] [--garbage W]\n"
               "         [--id TEXT] [--duration S] [--count N]\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--host")
      o.host = value;
    else if (key == "--port")
      o.port = std::atoi(value.c_str());
    else if (key == "--connections")
      o.connections = std::atoi(value.c_str());
    else if (key == "--senders")
      o.senders = std::atoi(value.c_str());
    else if (key == "--rate")
      o.rate = std::atof(value.c_str());
    else if (key == "--signals")
      o.signals = std::atoi(value.c_str());
    else if (key == "--times")
      o.times = std::atoi(value.c_str());
    else if (key == "--garbage")
      o.garbage = std::atoi(value.c_str());
    else if (key == "--id")
      o.id = value;
    else if (key == "--duration")
      o.duration = std::atof(value.c_str());
    else if (key == "--count")
      o.count = std::atol(value.c_str());
    else
      return false;
  }
  if (argc % 2 == 0) return false;
  if (o.senders <= 0 || o.senders > o.connections) o.senders = o.connections;
  return o.port > 0 && o.port < 65536 && o.connections > 0 && o.connections <= 100000 &&
         o.signals >= 0 && o.times >= 0 && o.garbage >= 0 && o.signals + o.times + o.garbage > 0;
}

// The transmitter's clock as the message's source date: yyyyMMddhhmmss.
std::string SourceDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  return text;
}

struct Stats {
  long connected = 0, connect_failed = 0, closed_by_driver = 0;
  long sent_signals = 0, sent_times = 0, sent_garbage = 0, send_errors = 0;
  long replies = 0;
  std::vector<double> latencies_ms;
};

class Simulator;

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(asio::io_context& io, Stats& s) : socket(io), stats(s) {}
  void Read() {
    socket.async_read_some(asio::buffer(buffer),
                           [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                             if (ec) {
                               if (self->open) ++self->stats.closed_by_driver;
                               self->open = false;
                               return;
                             }
                             self->OnData(n);
                             self->Read();
                           });
  }
  // A time reply ends with "\n"; ours carry the hardware number "TIME".
  void OnData(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      line += buffer[i];
      if (buffer[i] != '\n' && line.size() < 256) continue;
      if (line.rfind("*TIME*", 0) == 0 && !pending_times.empty()) {
        const auto rtt = Clock::now() - pending_times.front();
        pending_times.pop_front();
        stats.latencies_ms.push_back(std::chrono::duration<double, std::milli>(rtt).count());
        ++stats.replies;
      }
      line.clear();
    }
  }
  void Send(std::string message, bool is_time) {
    if (!open) return;
    if (is_time) pending_times.push_back(Clock::now());
    auto text = std::make_shared<std::string>(std::move(message));
    asio::async_write(socket, asio::buffer(*text),
                      [self = shared_from_this(), text](const asio::error_code& ec, size_t) {
                        if (ec) ++self->stats.send_errors;
                      });
  }

  asio::ip::tcp::socket socket;
  Stats& stats;
  bool open = false;
  char buffer[512];
  std::string line;
  std::deque<Clock::time_point> pending_times;
};

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  const size_t k =
      std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
  return values[k];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    Usage();
    return 2;
  }
  try {
    const vd::OpenFileLimit limit = vd::RaiseOpenFileLimit();
    if (limit.Soft < static_cast<uint64_t>(o.connections) + 64) {
      std::fprintf(stderr, "open file limit %llu is too low for %d connections\n",
                   static_cast<unsigned long long>(limit.Soft), o.connections);
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", vd::ExceptionText(error).c_str());
    return 1;
  }

  asio::io_context io;
  Stats stats;
  const asio::ip::tcp::endpoint target(asio::ip::make_address(o.host),
                                       static_cast<uint16_t>(o.port));
  std::vector<std::shared_ptr<Connection>> connections;
  connections.reserve(static_cast<size_t>(o.connections));

  // Connect in waves so the listen backlog is not overrun.
  const auto connect_start = Clock::now();
  int next = 0, in_flight = 0;
  std::function<void()> connect_more = [&] {
    while (next < o.connections && in_flight < 256) {
      auto c = std::make_shared<Connection>(io, stats);
      connections.push_back(c);
      ++next;
      ++in_flight;
      c->socket.async_connect(target, [&, c](const asio::error_code& ec) {
        --in_flight;
        if (ec) {
          ++stats.connect_failed;
        } else {
          ++stats.connected;
          c->open = true;
          c->Read();
        }
        connect_more();
      });
    }
  };
  connect_more();
  for (int i = 0; i < 600000 && stats.connected + stats.connect_failed < o.connections; ++i)
    io.run_for(std::chrono::milliseconds(1));
  const double connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();
  std::printf("connected %ld of %d in %.2f s (%ld failed)\n", stats.connected, o.connections,
              connect_s, stats.connect_failed);
  std::fflush(stdout);

  // Send at the rate, round-robin over the senders, kinds in weight order.
  const std::string date = SourceDate();
  const int cycle = o.signals + o.times + o.garbage;
  long sent = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(o.duration));
  asio::steady_timer tick(io);
  std::function<void()> on_tick = [&] {
    const auto now = Clock::now();
    if (now >= end || (o.count > 0 && sent >= o.count)) return;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    long due = static_cast<long>(elapsed * o.rate) - sent;
    if (o.count > 0) due = std::min(due, o.count - sent);
    for (long i = 0; i < due; ++i, ++sent) {
      Connection& c = *connections[static_cast<size_t>(sent % o.senders)];
      const int kind = static_cast<int>(sent % cycle);
      if (kind < o.signals) {
        c.Send("[ABCD1234SIMS" + date + "00|" + o.id + "-" + std::to_string(sent) + "]", false);
        ++stats.sent_signals;
      } else if (kind < o.signals + o.times) {
        c.Send("[ABCDTIME02AC" + date + "00|]", true);
        ++stats.sent_times;
      } else {
        c.Send("garbage-" + std::to_string(sent), false);
        ++stats.sent_garbage;
      }
    }
    tick.expires_after(std::chrono::milliseconds(5));
    tick.async_wait([&](const asio::error_code& ec) {
      if (!ec) on_tick();
    });
  };
  if (o.rate > 0) on_tick();
  io.run_until(end);
  // A moment for the last replies.
  io.run_for(std::chrono::seconds(2));

  std::vector<double>& l = stats.latencies_ms;
  const double max = l.empty() ? 0 : *std::max_element(l.begin(), l.end());
  const double p50 = Percentile(l, 0.50), p99 = Percentile(l, 0.99);
  std::printf(
      "sent: %ld signals, %ld time requests, %ld garbage (%ld send errors) in %.1f s\n"
      "time replies: %ld of %ld, round trip ms p50 %.2f p99 %.2f max %.2f\n"
      "connections closed by the driver: %ld\n",
      stats.sent_signals, stats.sent_times, stats.sent_garbage, stats.send_errors, o.duration,
      stats.replies, stats.sent_times, p50, p99, max, stats.closed_by_driver);
  for (auto& c : connections) {
    asio::error_code ignored;
    c->open = false;
    c->socket.close(ignored);
  }
  return 0;
}
