// hostile-sim: hostile transmitters against one device port, while
// well-behaved ones measure their time replies.
//
// - one transmitter sends --endless-mb MiB without a "]" (reconnecting when
//   the driver cuts it off, until all is sent);
// - one sends a message one byte a second;
// - --garbage transmitters send garbage as fast as the driver takes it,
//   reconnecting whenever they are cut off;
// - --good transmitters send time requests at --time-rate per second in all
//   and measure the round trip (p50, p99, max).
// Ends after --duration seconds and prints a summary.
#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/open_file_limit.h"
#include "support/errors.h"

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int garbage = 1000;
  int endless_mb = 100;
  int good = 10;
  double time_rate = 100;
  double duration = 20;
};

struct Stats {
  long garbage_bytes = 0, garbage_cut = 0;
  long endless_bytes = 0, endless_cut = 0;
  long slow_bytes = 0, slow_cut = 0;
  long times_sent = 0, replies = 0;
  std::vector<double> latencies_ms;
};

std::string SourceDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  return text;
}

// A connection that keeps writing what next() gives, reconnecting whenever
// the driver cuts it off, until next() gives nothing or the run ends.
class Writer : public std::enable_shared_from_this<Writer> {
 public:
  Writer(asio::io_context& io, tcp::endpoint target, std::function<std::string()> next, long& bytes,
         long& cut, Clock::duration pause)
      : io_(io),
        target_(target),
        next_(std::move(next)),
        bytes_(bytes),
        cut_(cut),
        pause_(pause),
        socket_(io),
        timer_(io) {}

  void Start() { Connect(); }

 private:
  void Connect() {
    socket_ = tcp::socket(io_);
    socket_.async_connect(target_, [self = shared_from_this()](const asio::error_code& ec) {
      if (ec) return self->Retry();
      self->Write();
    });
  }
  void Retry() {
    timer_.expires_after(std::chrono::milliseconds(50));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->Connect();
    });
  }
  void Write() {
    data_ = next_();
    if (data_.empty()) return;
    asio::async_write(socket_, asio::buffer(data_),
                      [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                        self->bytes_ += static_cast<long>(n);
                        if (ec) {
                          ++self->cut_;
                          asio::error_code ignored;
                          self->socket_.close(ignored);
                          return self->Connect();
                        }
                        if (self->pause_ == Clock::duration::zero()) return self->Write();
                        self->timer_.expires_after(self->pause_);
                        self->timer_.async_wait([self](const asio::error_code& wait_ec) {
                          if (!wait_ec) self->Write();
                        });
                      });
  }

  asio::io_context& io_;
  const tcp::endpoint target_;
  const std::function<std::string()> next_;
  long& bytes_;
  long& cut_;
  const Clock::duration pause_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  std::string data_;
};

// A well-behaved transmitter: time requests, replies timed.
class Good : public std::enable_shared_from_this<Good> {
 public:
  Good(asio::io_context& io, Stats& stats) : socket_(io), stats_(stats) {}
  tcp::socket& Socket() { return socket_; }
  void Read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                              if (ec) return;
                              self->OnData(n);
                              self->Read();
                            });
  }
  void RequestTime(const std::string& date) {
    sent_.push_back(Clock::now());
    ++stats_.times_sent;
    auto text = std::make_shared<std::string>("[ABCDTIME02AC" + date + "00|]");
    asio::async_write(socket_, asio::buffer(*text), [text](const asio::error_code&, size_t) {});
  }

 private:
  void OnData(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      line_ += buffer_[i];
      if (buffer_[i] != '\n' && line_.size() < 256) continue;
      if (line_.rfind("*TIME*", 0) == 0 && !sent_.empty()) {
        stats_.latencies_ms.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sent_.front()).count());
        sent_.pop_front();
        ++stats_.replies;
      }
      line_.clear();
    }
  }

  tcp::socket socket_;
  Stats& stats_;
  char buffer_[512];
  std::string line_;
  std::deque<Clock::time_point> sent_;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  const size_t k =
      std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
  return values[k];
}

bool ParseOptions(int argc, char** argv, Options& o) {
  if (argc % 2 == 0) return false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--host") {
      o.host = value;
    } else if (key == "--port") {
      o.port = std::atoi(value);
    } else if (key == "--garbage") {
      o.garbage = std::atoi(value);
    } else if (key == "--endless-mb") {
      o.endless_mb = std::atoi(value);
    } else if (key == "--good") {
      o.good = std::atoi(value);
    } else if (key == "--time-rate") {
      o.time_rate = std::atof(value);
    } else if (key == "--duration") {
      o.duration = std::atof(value);
    } else {
      return false;
    }
  }
  return o.port > 0 && o.port < 65536 && o.garbage >= 0 && o.garbage <= 50000 &&
         o.endless_mb >= 0 && o.good > 0 && o.good <= 10000 && o.time_rate > 0 && o.duration > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: hostile-sim --port P [--host H] [--garbage N] [--endless-mb M]\n"
                 "         [--good G] [--time-rate PER_S] [--duration S]\n");
    return 2;
  }
  try {
    vd::RaiseOpenFileLimit();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", vd::ExceptionText(error).c_str());
    return 1;
  }
  asio::io_context io;
  Stats stats;
  const tcp::endpoint target(asio::ip::make_address(o.host), static_cast<uint16_t>(o.port));
  const std::string date = SourceDate();

  std::vector<std::shared_ptr<Good>> good;
  for (int i = 0; i < o.good; ++i) {
    auto g = std::make_shared<Good>(io, stats);
    asio::error_code ec;
    g->Socket().connect(target, ec);
    if (ec) {
      std::fprintf(stderr, "cannot connect to %s:%d: %s\n", o.host.c_str(), o.port,
                   ec.message().c_str());
      return 1;
    }
    g->Read();
    good.push_back(g);
  }

  // Garbage: printable bytes without "]", 4 KiB a write.
  std::string garbage;
  for (int i = 0; garbage.size() < 4096; ++i) garbage += static_cast<char>('!' + i * 37 % 60);
  for (int i = 0; i < o.garbage; ++i) {
    std::make_shared<Writer>(
        io, target, [&garbage] { return garbage; }, stats.garbage_bytes, stats.garbage_cut,
        Clock::duration::zero())
        ->Start();
  }
  const long endless_total = long{o.endless_mb} << 20;
  const std::string chunk(size_t{1} << 20, 'x');
  std::make_shared<Writer>(
      io, target, [&] { return stats.endless_bytes < endless_total ? chunk : std::string(); },
      stats.endless_bytes, stats.endless_cut, Clock::duration::zero())
      ->Start();
  const std::string slow_message = "[ABCD1234SLOW" + date + "00|slow]";
  size_t slow_at = 0;
  std::make_shared<Writer>(
      io, target, [&] { return std::string(1, slow_message[slow_at++ % slow_message.size()]); },
      stats.slow_bytes, stats.slow_cut, std::chrono::seconds(1))
      ->Start();

  // Time requests round-robin over the good transmitters.
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(o.duration));
  asio::steady_timer tick(io);
  long due_sent = 0;
  std::function<void()> on_tick = [&] {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (long due = static_cast<long>(elapsed * o.time_rate); due_sent < due; ++due_sent)
      good[static_cast<size_t>(due_sent) % good.size()]->RequestTime(date);
    tick.expires_after(std::chrono::milliseconds(5));
    tick.async_wait([&](const asio::error_code& ec) {
      if (!ec && Clock::now() < end) on_tick();
    });
  };
  on_tick();
  io.run_until(end);

  std::printf(
      "garbage: %d transmitters, %.1f MiB taken, cut off %ld times\n"
      "no \"]\": %.1f MiB taken, cut off %ld times\n"
      "one byte a second: %ld bytes, cut off %ld times\n"
      "time replies: %ld of %ld, round trip ms p50 %.2f p99 %.2f max %.2f\n",
      o.garbage, static_cast<double>(stats.garbage_bytes) / (1 << 20), stats.garbage_cut,
      static_cast<double>(stats.endless_bytes) / (1 << 20), stats.endless_cut, stats.slow_bytes,
      stats.slow_cut, stats.replies, stats.times_sent, Percentile(stats.latencies_ms, 0.5),
      Percentile(stats.latencies_ms, 0.99),
      stats.latencies_ms.empty()
          ? 0.0
          : *std::max_element(stats.latencies_ms.begin(), stats.latencies_ms.end()));
  return 0;
}
