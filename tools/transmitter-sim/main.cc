// transmitter-sim: many transmitters against one device port, or against a
// primary and a secondary receiver (a redundant pair of drivers).
//
// Opens N connections, keeps them idle or sends messages at a given total
// rate from the first S of them (signals, time requests, garbage), measures
// the round trip of every time request and prints a summary. Ends by itself
// after --duration seconds or once --count messages have been sent.
//
// With a secondary receiver each connection moves, as a commissioned
// transmitter does, to the other receiver when its connection is refused or
// closed (at once after a close, after --retry seconds after a refusal) or a
// time request stays unanswered for --reply-timeout seconds (a hung host), and
// holds its signals while it has no receiver. A signal counts as taken by a
// receiver once a later time request on the same connection is answered: the
// driver reads a connection's messages in order.
#include <sys/resource.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/open_file_limit.h"
#include "support/errors.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string secondary_host;  // empty: host
  int secondary_port = 0;      // 0: no secondary receiver
  double retry = 1;            // seconds between refused attempts
  double reply_timeout = 5;    // seconds a time reply may take before moving on
  int connections = 1;
  int senders = 0;  // 0: all connections send
  double rate = 0;  // messages per second over all senders; 0 keeps them idle
  int signals = 1, times = 1, garbage = 0;  // weights of the message kinds
  std::string id = "sim";
  double duration = 10;
  long count = 0;  // 0: no limit
  bool report = false;
};

constexpr char kUsage[] =
    "usage: transmitter-sim --port P [options]\n"
    "  --host H              the receiver (default 127.0.0.1)\n"
    "  --port P              its device port\n"
    "  --secondary-port P    a secondary receiver: each connection moves to the other\n"
    "                        receiver when refused or closed, and holds its signals\n"
    "                        while it has none\n"
    "  --secondary-host H    the secondary receiver's host (default --host)\n"
    "  --retry S             seconds between refused connection attempts (default 1)\n"
    "  --reply-timeout S     with a secondary: a time request unanswered this long\n"
    "                        closes the connection (default 5)\n"
    "  --connections N       connections to open (default 1)\n"
    "  --senders S           how many of them send (default all)\n"
    "  --rate MSG_PER_S      messages per second over all senders (default 0: idle)\n"
    "  --signals W           weight of signals in the mix (default 1)\n"
    "  --times W             weight of time requests (default 1)\n"
    "  --garbage W           weight of garbage (default 0)\n"
    "  --id TEXT             signal payload prefix: TEXT-<number> (default sim)\n"
    "  --duration S          end after S seconds (default 10)\n"
    "  --count N             end once N messages are sent (default 0: no limit)\n"
    "  --report              one line per signal: the receiver that took it\n"
    "  --help                this text\n";

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--report") {
      o.report = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (key == "--host")
      o.host = value;
    else if (key == "--port")
      o.port = std::atoi(value.c_str());
    else if (key == "--secondary-host")
      o.secondary_host = value;
    else if (key == "--secondary-port")
      o.secondary_port = std::atoi(value.c_str());
    else if (key == "--retry")
      o.retry = std::atof(value.c_str());
    else if (key == "--reply-timeout")
      o.reply_timeout = std::atof(value.c_str());
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
  if (o.senders <= 0 || o.senders > o.connections) o.senders = o.connections;
  if (o.secondary_host.empty()) o.secondary_host = o.host;
  return o.port > 0 && o.port < 65536 && o.secondary_port >= 0 && o.secondary_port < 65536 &&
         o.retry >= 0 && o.reply_timeout > 0 && o.connections > 0 && o.connections <= 100000 &&
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

std::string TimeRequest(const std::string& date) { return "[ABCDTIME02AC" + date + "00|]"; }

// What became of one signal: its receiver (0 primary, 1 secondary, -1 none
// yet) and whether a later time reply confirmed it.
struct Fate {
  int receiver = -1;
  bool confirmed = false;
};

struct Stats {
  long connected = 0, connect_failed = 0, closed_by_driver = 0;
  long sent_signals = 0, sent_times = 0, sent_garbage = 0, send_errors = 0;
  long replies = 0;
  long settled = 0;  // connections whose first attempt has ended
  const Clock::time_point started = Clock::now();
  std::vector<double> latencies_ms;
  std::vector<Fate> fates;   // by signal number
  double longest_gap_s = 0;  // without a receiver, on any one connection
};

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(asio::io_context& io, Stats& s, const Options& o,
             const std::vector<asio::ip::tcp::endpoint>& t)
      : socket(io), timer(io), stats(s), options(o), targets(t) {}

  void Connect() {
    asio::error_code ignored;
    socket.close(ignored);
    socket.async_connect(
        targets[static_cast<size_t>(receiver)],
        [self = shared_from_this()](const asio::error_code& ec) { self->OnConnect(ec); });
  }
  void OnConnect(const asio::error_code& ec) {
    if (!settled) ++stats.settled;
    settled = true;
    if (ec) {
      ++stats.connect_failed;
      if (targets.size() > 1) Retry(options.retry);
      return;
    }
    ++stats.connected;
    open = true;
    if (lost_at) {
      const double gap = std::chrono::duration<double>(Clock::now() - *lost_at).count();
      stats.longest_gap_s = std::max(stats.longest_gap_s, gap);
      std::printf(
          "connection %d: receiver %d took over after %.2f s without a receiver (at %.2f s)\n",
          number, receiver + 1, gap,
          std::chrono::duration<double>(Clock::now() - stats.started).count());
      std::fflush(stdout);
      lost_at.reset();
    }
    Read();
    std::vector<std::pair<std::string, long>> held;
    held.swap(backlog);
    for (auto& [text, signal] : held) Write(std::move(text), signal);
  }
  // To the other receiver after delay_s.
  void Retry(double delay_s) {
    receiver = 1 - receiver;
    timer.expires_after(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay_s)));
    timer.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (!ec && !self->stopping) self->Connect();
    });
  }
  void Read() {
    socket.async_read_some(asio::buffer(buffer),
                           [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                             if (ec) {
                               self->OnClosed();
                               return;
                             }
                             self->OnData(n);
                             self->Read();
                           });
  }
  void OnClosed() {
    if (!open) return;
    open = false;
    ++stats.closed_by_driver;
    // A receiver that stopped answering was lost when the first request it
    // left unanswered went out.
    lost_at = pending_times.empty() ? Clock::now() : pending_times.front();
    pending_times.clear();
    unconfirmed.clear();
    batches.clear();
    if (targets.size() > 1 && !stopping) Retry(0);
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
        if (!batches.empty()) {
          for (const long signal : batches.front()) {
            stats.fates[static_cast<size_t>(signal)].confirmed = true;
          }
          batches.pop_front();
        }
      }
      line.clear();
    }
  }
  // signal: the signal's number, or -1 for another message.
  void Send(std::string message, long signal, bool is_time) {
    if (open) {
      if (is_time) {
        pending_times.push_back(Clock::now());
        batches.push_back(std::move(unconfirmed));
        unconfirmed.clear();
      }
      Write(std::move(message), signal);
    } else if (signal >= 0 && targets.size() > 1) {
      backlog.emplace_back(std::move(message), signal);
    }
  }
  void Write(std::string message, long signal) {
    if (signal >= 0) {
      stats.fates[static_cast<size_t>(signal)].receiver = receiver;
      unconfirmed.push_back(signal);
    }
    auto text = std::make_shared<std::string>(std::move(message));
    asio::async_write(socket, asio::buffer(*text),
                      [self = shared_from_this(), text](const asio::error_code& ec, size_t) {
                        if (ec) ++self->stats.send_errors;
                      });
  }
  // A receiver that takes no time request for the timeout is hung: the
  // connection is closed, and the read's end moves it on.
  void CheckReply(Clock::time_point now) {
    if (open && !pending_times.empty() &&
        now - pending_times.front() > std::chrono::duration<double>(options.reply_timeout)) {
      asio::error_code ignored;
      socket.close(ignored);
    }
  }
  bool Idle() const { return backlog.empty() && (!open || pending_times.empty()); }

  asio::ip::tcp::socket socket;
  asio::steady_timer timer;
  Stats& stats;
  const Options& options;
  const std::vector<asio::ip::tcp::endpoint>& targets;
  int number = 0;
  int receiver = 0;  // index into targets
  bool open = false;
  bool settled = false;  // the first attempt has ended
  bool stopping = false;
  std::optional<Clock::time_point> lost_at;
  char buffer[512];
  std::string line;
  std::deque<Clock::time_point> pending_times;
  std::vector<long> unconfirmed;                      // written since the last time request
  std::deque<std::vector<long>> batches;              // confirmed by the next time reply each
  std::vector<std::pair<std::string, long>> backlog;  // held while without a receiver
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
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (!ParseOptions(argc, argv, o)) {
    std::fputs(kUsage, stderr);
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
  std::vector<asio::ip::tcp::endpoint> targets = {
      {asio::ip::make_address(o.host), static_cast<uint16_t>(o.port)}};
  if (o.secondary_port > 0) {
    targets.emplace_back(asio::ip::make_address(o.secondary_host),
                         static_cast<uint16_t>(o.secondary_port));
  }
  const std::vector<std::string> names = {
      o.host + ":" + std::to_string(o.port),
      o.secondary_host + ":" + std::to_string(o.secondary_port)};
  std::vector<std::shared_ptr<Connection>> connections;
  connections.reserve(static_cast<size_t>(o.connections));

  // Connect in waves so the listen backlog is not overrun.
  const auto connect_start = Clock::now();
  int next = 0;
  for (int i = 0; i < 600000 && stats.settled < o.connections; ++i) {
    while (next < o.connections && next - stats.settled < 256) {
      auto c = std::make_shared<Connection>(io, stats, o, targets);
      c->number = next++;
      connections.push_back(c);
      c->Connect();
    }
    io.run_for(std::chrono::milliseconds(1));
  }
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
  const auto all_idle = [&] {
    return std::all_of(connections.begin(), connections.end(),
                       [](const auto& c) { return c->Idle(); });
  };
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
        const long signal = static_cast<long>(stats.fates.size());
        stats.fates.emplace_back();
        c.Send("[ABCD1234SIMS" + date + "00|" + o.id + "-" + std::to_string(signal) + "]", signal,
               false);
        ++stats.sent_signals;
      } else if (kind < o.signals + o.times) {
        stats.sent_times += c.open ? 1 : 0;
        c.Send(TimeRequest(date), -1, true);
      } else {
        c.Send("garbage-" + std::to_string(sent), -1, false);
        ++stats.sent_garbage;
      }
    }
    tick.expires_after(std::chrono::milliseconds(5));
    tick.async_wait([&](const asio::error_code& ec) {
      if (!ec) on_tick();
    });
  };
  if (o.rate > 0) on_tick();
  // Until the duration is over, or the count is sent and no signal is held.
  for (auto checked = Clock::now();
       Clock::now() < end && !(o.count > 0 && sent >= o.count && all_idle());) {
    io.run_for(std::chrono::milliseconds(10));
    if (targets.size() > 1 && Clock::now() - checked >= std::chrono::milliseconds(100)) {
      checked = Clock::now();
      for (auto& c : connections) c->CheckReply(checked);
    }
  }
  // A last time request on every connection confirms the signals after the
  // previous one; then a moment for the replies.
  for (auto& c : connections) {
    if (c->open && !c->unconfirmed.empty()) {
      ++stats.sent_times;
      c->Send(TimeRequest(date), -1, true);
    }
  }
  const auto grace = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < grace && !all_idle()) io.run_for(std::chrono::milliseconds(10));

  std::vector<double>& l = stats.latencies_ms;
  const double max = l.empty() ? 0 : *std::max_element(l.begin(), l.end());
  const double p50 = Percentile(l, 0.50), p99 = Percentile(l, 0.99);
  std::printf(
      "sent: %ld signals, %ld time requests, %ld garbage (%ld send errors) in %.1f s\n"
      "time replies: %ld of %ld, round trip ms p50 %.2f p99 %.2f max %.2f\n"
      "connections closed by the driver: %ld\n",
      stats.sent_signals, stats.sent_times, stats.sent_garbage, stats.send_errors,
      std::chrono::duration<double>(Clock::now() - start).count(), stats.replies, stats.sent_times,
      p50, p99, max, stats.closed_by_driver);
  long taken[2] = {0, 0}, unconfirmed = 0, not_taken = 0;
  for (size_t i = 0; i < stats.fates.size(); ++i) {
    const Fate& fate = stats.fates[i];
    const std::string signal = o.id + "-" + std::to_string(i);
    if (fate.receiver < 0) {
      ++not_taken;
      if (o.report) std::printf("signal %s not taken\n", signal.c_str());
    } else if (fate.confirmed) {
      ++taken[fate.receiver];
      if (o.report) {
        std::printf("signal %s taken by %s\n", signal.c_str(), names[fate.receiver].c_str());
      }
    } else {
      ++unconfirmed;
      if (o.report) {
        std::printf("signal %s unconfirmed at %s\n", signal.c_str(), names[fate.receiver].c_str());
      }
    }
  }
  std::printf("signals taken by %s: %ld", names[0].c_str(), taken[0]);
  if (targets.size() > 1) std::printf(", by %s: %ld", names[1].c_str(), taken[1]);
  std::printf("; unconfirmed: %ld; not taken: %ld\n", unconfirmed, not_taken);
  if (targets.size() > 1)
    std::printf("longest time without a receiver: %.2f s\n", stats.longest_gap_s);
  for (auto& c : connections) {
    asio::error_code ignored;
    c->stopping = true;
    c->open = false;
    c->timer.cancel();
    c->socket.close(ignored);
  }
  return 0;
}
