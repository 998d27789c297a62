// The driver process as a whole, measured from outside: the real
// VolterDirectDrv as a child process, the Kernel simulator in this process,
// transmitters as loopback connections of this process.
//
// - StartToReady: from spawning the driver to its READY=1 on the
//   notification socket, with 1000 signals and 1000 events in the cache
//   (target: at most 2 s).
//   Also with 100,000 signals (target: at most 5 s), with the resident memory
//   of the driver at READY (target: under 160 MiB).
// - DrainBacklog: 100,000 signals in the cache, the simulator answering:
//   the drain rate to the simulator (target: 20,000 signals a second or
//   more) while a transmitter sends 100 new signals a second and another asks
//   the time every 10 ms (target: p99 of the time replies at most 50 ms).
// - StopAfterSigterm: from SIGTERM to the end of the process while the
//   Kernel answers the unregistration (target: at most 1 s).
// - LoopbackLoad: 500 transmitters send 1000 signals per second in all for
//   VD_LOAD_SECONDS (default 20) with FlushCacheWrites on; latency from a
//   message's send to the simulator's acknowledgement of its signal. Every
//   signal must be acknowledged (a refused one never is). Targets: all
//   acknowledged, p99 at most 100 ms.
// - Takeover: two drivers under the simulator as the Kernel of a redundant
//   pair (its defaults: a silent driver is lost after 5 s), transmitter-sim
//   sending 20 messages a second to both; 10 times the active driver is
//   killed and restarted: the time from the kill to the first transmitter
//   signal from the standby (target: median under 5 s), with its parts: the
//   simulator's takeover, the standby's "Port ... opened." event, the first
//   signal.
//
// Times are real time (UseManualTime); counters carry the figures. The
// directory is made under $VD_BENCH_DIR, else /var/tmp (a disk).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "bench_directory.h"
#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "driver_process.h"
#include "free_port.h"
#include "kernel/kernel_messages.h"
#include "kernel_simulator.h"
#include "notify_socket.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "support/log_writer.h"
#include "support/time_utils.h"

namespace vd {
namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

bool Eventually(const std::function<bool()>& condition, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int Connect(int32_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// VD_LOAD_LOG=0 and VD_LOAD_FLUSH=0 switch the session log and the cache
// flushes off, to tell their costs apart.
std::string Switch(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string(value) == "0" ? "0" : "1";
}

// capacity: "SignalBufferCapacity", 0 for none; name: the driver's "Name"
// (empty: the default).
std::string WriteRegistry(const std::string& dir, int32_t kernel_port, int32_t device_port,
                          uint32_t capacity = 0, const std::string& name = "") {
  char port[16];
  std::snprintf(port, sizeof port, "%08x", static_cast<unsigned>(device_port));
  const std::string text =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers]\n"
      "\"Path\"=\"" +
      dir +
      "work/\"\n"
      "\"Kernel1\"=\"Name=sim;IP=127.0.0.1;Port=" +
      std::to_string(kernel_port) +
      "\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver]\n"
      "\"LogSave\"=dword:0000000" +
      Switch("VD_LOAD_LOG") + "\n\"LogPath\"=\"" + dir + "log/\"\n" +
      (capacity > 0 ? "\"SignalBufferCapacity\"=dword:" + Hex(capacity) + "\n" : "") +
      (name.empty() ? "" : "\"Name\"=\"" + name + "\"\n") + "\"FlushCacheWrites\"=dword:0000000" +
      Switch("VD_LOAD_FLUSH") +
      "\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver\\Port1]\n"
      "\"IsActive\"=dword:00000001\n\"Port\"=dword:" +
      port +
      "\n"
      "\"PortNumber\"=dword:00000001\n\"InactivityMessageTimeout\"=dword:00000258\n"
      "\"MaxReceiveSignals\"=dword:000f4240\n";
  const std::string path = dir + "registry.reg";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The driver as a child process, its stderr appended to driver.out of the
// directory; NOTIFY_SOCKET points at notify_path when given.
TDriverLaunch DriverLaunch(const std::string& registry, const std::string& dir,
                           const std::string& notify_path = {}) {
  TDriverLaunch launch;
  launch.Executable = VD_DRIVER_EXECUTABLE;
  launch.Arguments = {"--registry", registry};
  launch.OutputPath = dir + "driver.out";
  launch.StdoutToOutput = false;
  launch.NotifyPath = notify_path;
  return launch;
}

class NoEvents final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

// Signals and 1000 system events in the cache, as a driver that could not
// reach its Kernel leaves them.
void FillCache(const std::string& cache, int signal_count = 1000) {
  PosixFileSystem fs;
  SystemClock clock;
  NullLogWriter log;
  NoEvents events;
  DriverSettings settings;
  settings.SignalBufferCapacity = kMaxSignalBufferCapacity;
  TSignalBuffer signals(fs, clock, events, log, settings, cache, false);
  for (int i = 0; i < signal_count; ++i) {
    TSignal signal;
    signal.TimeIn = signal.TimeSource = NowLocalUnix(clock);
    signal.DriverName = "bench";
    signal.SignalType = stExternal;
    signal.Code = "LOAD";
    signal.Extension1 = "cached-" + std::to_string(i);
    if (!signals.AddSignal(signal)) throw std::runtime_error("signal refused");
  }
  TQuestionsBuffer questions(fs, clock, log, {cache, "bench", "127.0.0.1", false});
  for (int i = 0; i < 1000; ++i) {
    if (!questions.AddSystemEvent("cached event " + std::to_string(i), "", false)) {
      throw std::runtime_error("event refused");
    }
  }
}

// VmRSS of a process in bytes, 0 when unknown.
double ResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) * 1024;
  }
  return 0;
}

void StartToReady(benchmark::State& state) {
  BenchDirectory dir;
  FillCache(dir.Path() + "work/Temp/VolterDirectDrv_Cache/", static_cast<int>(state.range(0)));
  double rss = 0;
  // No Kernel listens: the cache stays as it is from run to run.
  const std::string registry = WriteRegistry(dir.Path(), FreeLoopbackPort(), FreeLoopbackPort());
  int64_t worst_ns = 0;
  for (auto _ : state) {
    TNotifySocket notify(dir.Path() + "notify");
    const int64_t start = NowNs();
    TDriverProcess driver(DriverLaunch(registry, dir.Path(), notify.Path()));
    if (!notify.WaitFor("READY=1", 30000)) {
      state.SkipWithError("no READY=1 within 30 s");
      break;
    }
    const int64_t elapsed = NowNs() - start;
    worst_ns = std::max(worst_ns, elapsed);
    state.SetIterationTime(static_cast<double>(elapsed) / 1e9);
    rss = std::max(rss, ResidentBytes(driver.Pid()));
    driver.Signal(SIGTERM);
    driver.WaitExit(30000);
  }
  state.counters["worst_ms"] = static_cast<double>(worst_ns) / 1e6;
  state.counters["rss_mib"] = rss / (1024 * 1024);
}
BENCHMARK(StartToReady)
    ->ArgName("signals")
    ->Arg(1000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void StopAfterSigterm(benchmark::State& state) {
  BenchDirectory dir;
  TKernelSimOptions options;
  options.TcpPort = 0;
  TKernelSimulator sim(options);
  const std::string registry = WriteRegistry(dir.Path(), sim.TcpPort(), FreeLoopbackPort());
  int64_t worst_ns = 0;
  for (auto _ : state) {
    const size_t registrations = sim.CountReceived(kFrameTypeRegistration);
    TDriverProcess driver(DriverLaunch(registry, dir.Path()));
    if (!sim.WaitFor(
            [&](const TKernelSimulator& s) {
              return s.CountReceived(kFrameTypeRegistration) > registrations;
            },
            30000)) {
      state.SkipWithError("no registration within 30 s");
      break;
    }
    const int64_t start = NowNs();
    driver.Signal(SIGTERM);
    if (!driver.WaitExit(30000)) {
      state.SkipWithError("no exit within 30 s");
      break;
    }
    const int64_t elapsed = NowNs() - start;
    worst_ns = std::max(worst_ns, elapsed);
    state.SetIterationTime(static_cast<double>(elapsed) / 1e9);
  }
  state.counters["worst_ms"] = static_cast<double>(worst_ns) / 1e6;
  state.counters["unregistrations"] =
      static_cast<double>(sim.CountReceived(kFrameTypeUnregistration));
}
BENCHMARK(StopAfterSigterm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// The simulator's JSON output, one line at a time to OnLine (on the
// simulator's serving thread).
class LineRecorder : public std::streambuf {
 protected:
  virtual void OnLine(const std::string& line) = 0;

  int overflow(int c) override {
    if (c != EOF) Put(static_cast<char>(c));
    return c;
  }
  std::streamsize xsputn(const char* data, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) Put(data[i]);
    return n;
  }

 private:
  void Put(char c) {
    if (c != '\n') {
      line_ += c;
      return;
    }
    OnLine(line_);
    line_.clear();
  }

  std::string line_;  // the simulator's serving thread only
};

// Takes the simulator's JSON lines and notes when each load signal ("L<n>"
// in Extension1) was acknowledged.
class AckRecorder final : public LineRecorder {
 public:
  explicit AckRecorder(size_t count) : acked_ns_(count, 0) {}
  std::vector<int64_t> AckedNs() {
    std::lock_guard<std::mutex> guard(mutex_);
    return acked_ns_;
  }
  size_t Refusals() {
    std::lock_guard<std::mutex> guard(mutex_);
    return refusals_;
  }

 private:
  void OnLine(const std::string& line) override {
    const int64_t now = NowNs();
    if (line.find("Event buffer size exceeded.") != std::string::npos) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++refusals_;
    }
    const size_t tag = line.find("\"Extension1\":\"L");
    if (tag != std::string::npos && line.find("\"answer\":2") != std::string::npos) {
      const size_t n = std::strtoul(line.c_str() + tag + 15, nullptr, 10);
      std::lock_guard<std::mutex> guard(mutex_);
      if (n < acked_ns_.size() && acked_ns_[n] == 0) acked_ns_[n] = now;
    }
  }

  std::mutex mutex_;
  std::vector<int64_t> acked_ns_;  // guarded by mutex_
  size_t refusals_ = 0;            // guarded by mutex_
};

void LoopbackLoad(benchmark::State& state) {
  const char* seconds_text = std::getenv("VD_LOAD_SECONDS");
  const int seconds = seconds_text != nullptr ? std::max(1, std::atoi(seconds_text)) : 20;
  constexpr int kTransmitters = 500;
  constexpr int kRate = 1000;
  const size_t total = static_cast<size_t>(seconds) * kRate;

  for (auto _ : state) {
    BenchDirectory dir;
    AckRecorder recorder(total);
    std::ostream json(&recorder);
    TKernelSimOptions options;
    options.TcpPort = 0;
    TKernelSimulator sim(options, &json);
    const int32_t device_port = FreeLoopbackPort();
    TDriverProcess driver(
        DriverLaunch(WriteRegistry(dir.Path(), sim.TcpPort(), device_port), dir.Path()));
    std::vector<int> transmitters;
    if (Eventually(
            [&] {
              const int fd = Connect(device_port);
              if (fd >= 0) transmitters.push_back(fd);
              return fd >= 0;
            },
            30000)) {
      while (transmitters.size() < kTransmitters) {
        const int fd = Connect(device_port);
        if (fd < 0) break;
        transmitters.push_back(fd);
      }
    }
    if (transmitters.size() < kTransmitters) {
      state.SkipWithError("transmitters could not connect");
      for (int fd : transmitters) close(fd);
      break;
    }

    char date[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%Y%m%d%H%M%S", &utc);
    std::vector<int64_t> sent_ns(total, 0);
    size_t sent = 0;
    const int64_t start = NowNs();
    while (sent < total) {
      const size_t due =
          std::min(total, static_cast<size_t>((NowNs() - start) / (1000000000 / kRate)) + 1);
      for (; sent < due; ++sent) {
        const std::string message =
            "[ABCD1234LOAD" + std::string(date) + "00|L" + std::to_string(sent) + "]";
        sent_ns[sent] = NowNs();
        send(transmitters[sent % kTransmitters], message.data(), message.size(), MSG_NOSIGNAL);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const double send_seconds = static_cast<double>(NowNs() - start) / 1e9;
    std::vector<int64_t> acked;
    Eventually(
        [&] {
          acked = recorder.AckedNs();
          return std::count(acked.begin(), acked.end(), 0) == 0;
        },
        60000);
    for (int fd : transmitters) close(fd);

    std::vector<double> latencies_ms;
    for (size_t i = 0; i < total; ++i) {
      if (acked[i] != 0) latencies_ms.push_back(static_cast<double>(acked[i] - sent_ns[i]) / 1e6);
    }
    std::sort(latencies_ms.begin(), latencies_ms.end());
    auto percentile = [&](double p) {
      if (latencies_ms.empty()) return 0.0;
      return latencies_ms[std::min(
          latencies_ms.size() - 1,
          static_cast<size_t>(p * static_cast<double>(latencies_ms.size())))];
    };
    state.SetIterationTime(send_seconds);
    state.counters["sent"] = static_cast<double>(total);
    state.counters["acknowledged"] = static_cast<double>(latencies_ms.size());
    state.counters["buffer_full_events"] = static_cast<double>(recorder.Refusals());
    state.counters["send_rate_per_s"] = static_cast<double>(total) / send_seconds;
    state.counters["p50_ms"] = percentile(0.50);
    state.counters["p99_ms"] = percentile(0.99);
    state.counters["max_ms"] = latencies_ms.empty() ? 0.0 : latencies_ms.back();
    driver.Signal(SIGTERM);
    driver.WaitExit(30000);
  }
}
BENCHMARK(LoopbackLoad)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

// Counts the simulator's acknowledgements of cached signals ("cached-<n>")
// and of new ones ("N<n>"), with the times of the first and the last cached
// one.
class DrainRecorder final : public LineRecorder {
 public:
  struct Counts {
    size_t Cached = 0;
    size_t New = 0;
    int64_t FirstNs = 0;
    int64_t LastNs = 0;
  };
  Counts Get() {
    std::lock_guard<std::mutex> guard(mutex_);
    return counts_;
  }

 private:
  void OnLine(const std::string& line) override {
    if (line.find("\"answer\":2") != std::string::npos) {
      const int64_t now = NowNs();
      std::lock_guard<std::mutex> guard(mutex_);
      if (line.find("\"Extension1\":\"cached-") != std::string::npos) {
        if (counts_.Cached++ == 0) counts_.FirstNs = now;
        counts_.LastNs = now;
      } else if (line.find("\"Extension1\":\"N") != std::string::npos) {
        ++counts_.New;
      }
    }
  }

  std::mutex mutex_;
  Counts counts_;  // guarded by mutex_
};

std::string UtcDateText() {
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(date, sizeof date, "%Y%m%d%H%M%S", &utc);
  return date;
}

void DrainBacklog(benchmark::State& state) {
  constexpr int kBacklog = 100000;
  for (auto _ : state) {
    BenchDirectory dir;
    FillCache(dir.Path() + "work/Temp/VolterDirectDrv_Cache/", kBacklog);
    DrainRecorder recorder;
    std::ostream json(&recorder);
    TKernelSimOptions options;
    options.TcpPort = 0;
    TKernelSimulator sim(options, &json);
    const int32_t device_port = FreeLoopbackPort();
    TDriverProcess driver(DriverLaunch(
        WriteRegistry(dir.Path(), sim.TcpPort(), device_port, 2 * kBacklog), dir.Path()));
    int sender = -1;
    int asker = -1;
    Eventually([&] { return (sender = Connect(device_port)) >= 0; }, 30000);
    asker = Connect(device_port);
    if (sender < 0 || asker < 0) {
      state.SkipWithError("transmitters could not connect");
      break;
    }
    timeval timeout{1, 0};
    setsockopt(asker, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    // New signals and time requests until the backlog is gone (60 s at most).
    const std::string date = UtcDateText();
    std::atomic<bool> done{false};
    size_t sent_new = 0;
    std::thread sending([&] {
      for (; !done && sent_new < 6000; ++sent_new) {
        const std::string message =
            "[ABCD1234LOAD" + date + "00|N" + std::to_string(sent_new) + "]";
        send(sender, message.data(), message.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    std::vector<double> replies_ms;
    size_t unanswered = 0;
    std::thread asking([&] {
      const std::string request = "[ABCDTIME02AC" + date + "00|]";
      for (int i = 0; !done && i < 6000; ++i) {
        const int64_t start = NowNs();
        send(asker, request.data(), request.size(), MSG_NOSIGNAL);
        std::string reply;
        char c = 0;
        while (reply.empty() || reply.back() != '\n') {
          if (recv(asker, &c, 1, 0) != 1) break;
          reply += c;
        }
        if (!reply.empty() && reply.back() == '\n') {
          replies_ms.push_back(static_cast<double>(NowNs() - start) / 1e6);
        } else {
          ++unanswered;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    Eventually([&] { return recorder.Get().Cached >= static_cast<size_t>(kBacklog); }, 60000);
    done = true;
    sending.join();
    asking.join();
    Eventually([&] { return recorder.Get().New >= sent_new; }, 10000);
    close(sender);
    close(asker);

    const DrainRecorder::Counts counts = recorder.Get();
    const double drain_seconds = static_cast<double>(counts.LastNs - counts.FirstNs) / 1e9;
    std::sort(replies_ms.begin(), replies_ms.end());
    const auto percentile = [&](double p) {
      if (replies_ms.empty()) return 0.0;
      return replies_ms[std::min(replies_ms.size() - 1,
                                 static_cast<size_t>(p * static_cast<double>(replies_ms.size())))];
    };
    state.SetIterationTime(drain_seconds);
    state.counters["drained"] = static_cast<double>(counts.Cached);
    state.counters["drain_per_s"] =
        drain_seconds > 0 ? static_cast<double>(counts.Cached) / drain_seconds : 0;
    state.counters["new_sent"] = static_cast<double>(sent_new);
    state.counters["new_acknowledged"] = static_cast<double>(counts.New);
    state.counters["time_p50_ms"] = percentile(0.50);
    state.counters["time_p99_ms"] = percentile(0.99);
    state.counters["time_unanswered"] = static_cast<double>(unanswered);
    state.counters["rss_mib"] = ResidentBytes(driver.Pid()) / (1024 * 1024);
    driver.Signal(SIGTERM);
    driver.WaitExit(30000);
  }
}
BENCHMARK(DrainBacklog)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

// Notes when each mode change, port-opened event and transmitter signal
// ("tk-" in Extension1) of a driver reached the simulator.
class PairRecorder final : public LineRecorder {
 public:
  enum Kind { kActive, kPortOpened, kSignal };
  // When the first line of the kind from driver came after since_ns; 0: none.
  int64_t First(Kind kind, const std::string& driver, int64_t since_ns) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Line& line : lines_) {
      if (line.What == kind && line.Driver == driver && line.Ns > since_ns) return line.Ns;
    }
    return 0;
  }

 private:
  struct Line {
    Kind What;
    std::string Driver;
    int64_t Ns;
  };
  void OnLine(const std::string& text) override {
    const int64_t now = NowNs();
    const size_t at = text.find("\"driver\":\"");
    if (at == std::string::npos) return;
    const size_t end = text.find('"', at + 10);
    Line line{kSignal, text.substr(at + 10, end - at - 10), now};
    if (text.find("\"kind\":\"mode\"") != std::string::npos) {
      if (text.find("\"active\":true") == std::string::npos) return;
      line.What = kActive;
    } else if (text.find("opened.\"") != std::string::npos) {
      line.What = kPortOpened;
    } else if (text.find("\"Extension1\":\"tk-") == std::string::npos) {
      return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(std::move(line));
  }

  std::mutex mutex_;
  std::vector<Line> lines_;  // guarded by mutex_
};

void Takeover(benchmark::State& state) {
  BenchDirectory dir;
  PairRecorder recorder;
  std::ostream json(&recorder);
  TKernelSimOptions options;
  options.TcpPort = 0;
  options.Standby = true;
  TKernelSimulator sim(options, &json);
  const std::string names[2] = {"A", "B"};
  int32_t ports[2] = {FreeLoopbackPort(), FreeLoopbackPort()};
  while (ports[1] == ports[0]) ports[1] = FreeLoopbackPort();
  std::string registries[2];
  std::unique_ptr<TDriverProcess> drivers[2];
  for (int i = 0; i < 2; ++i) {
    const std::string host = dir.Path() + names[i] + "/";
    std::filesystem::create_directories(host);
    registries[i] = WriteRegistry(host, sim.TcpPort(), ports[i], 0, names[i]);
    drivers[i] = std::make_unique<TDriverProcess>(DriverLaunch(registries[i], host));
    // A first, so that it is the one made active.
    if (i == 0) Eventually([&] { return sim.ActiveDriver() == "A"; }, 30000);
  }
  TDriverLaunch launch;
  launch.Executable = VD_TRANSMITTER_SIM_EXECUTABLE;
  launch.Arguments = {"--port",
                      std::to_string(ports[0]),
                      "--secondary-port",
                      std::to_string(ports[1]),
                      "--rate",
                      "20",
                      "--duration",
                      "3600",
                      "--id",
                      "tk"};
  launch.OutputPath = dir.Path() + "transmitter.out";
  TDriverProcess transmitter(launch);
  if (!Eventually([&] { return recorder.First(PairRecorder::kSignal, "A", 0) != 0; }, 30000)) {
    state.SkipWithError("no signal through the first active driver within 30 s");
    return;
  }
  std::vector<double> gaps, detections, openings;
  int active = 0;
  std::mt19937 random(22);
  std::uniform_int_distribution<int> phase(0, 999);
  for (auto _ : state) {
    const int standby = 1 - active;
    // Each kill at another moment of the standby's one-second wake-ups.
    std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
    const int64_t killed = NowNs();
    drivers[active]->Signal(SIGKILL);
    drivers[active]->WaitExit(30000);
    int64_t first = 0;
    if (!Eventually(
            [&] {
              return (first = recorder.First(PairRecorder::kSignal, names[standby], killed)) != 0;
            },
            30000)) {
      state.SkipWithError("no signal through the standby within 30 s");
      break;
    }
    const auto since_kill = [killed](int64_t ns) {
      return ns == 0 ? -1.0 : static_cast<double>(ns - killed) / 1e9;
    };
    gaps.push_back(since_kill(first));
    detections.push_back(since_kill(recorder.First(PairRecorder::kActive, names[standby], killed)));
    openings.push_back(
        since_kill(recorder.First(PairRecorder::kPortOpened, names[standby], killed)));
    state.SetIterationTime(gaps.back());
    // The killed driver back, as standby, before the next kill.
    const size_t changes = sim.ModeChanges().size();
    drivers[active] = std::make_unique<TDriverProcess>(
        DriverLaunch(registries[active], dir.Path() + names[active] + "/"));
    const bool back = Eventually(
        [&] {
          const std::vector<TSimModeChange> now = sim.ModeChanges();
          return std::any_of(now.begin() + static_cast<std::ptrdiff_t>(changes), now.end(),
                             [&](const TSimModeChange& c) { return c.Driver == names[active]; });
        },
        30000);
    // and with what it had cached delivered, so that none of it counts as
    // the first signal of its own takeover.
    const auto cache_empty = [&] {
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(
               dir.Path() + names[active] + "/work/Temp/VolterDirectDrv_Cache", error)) {
        if (entry.path().extension() == ".sig") return false;
      }
      return true;
    };
    if (!back || !Eventually(cache_empty, 30000)) {
      state.SkipWithError("the killed driver did not come back within 30 s");
      break;
    }
    active = standby;
  }
  const auto median = [](std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  state.counters["gap_median_s"] = median(gaps);
  state.counters["gap_worst_s"] = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
  state.counters["takeover_median_s"] = median(detections);
  state.counters["ports_open_median_s"] = median(openings);
  state.counters["ports_open_worst_s"] =
      openings.empty() ? 0 : *std::max_element(openings.begin(), openings.end());
}
BENCHMARK(Takeover)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(10);

}  // namespace
}  // namespace vd
