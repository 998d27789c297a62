// The driver process as a whole, measured from outside: the real
// VolterDirectDrv as a child process, the Kernel simulator in this process,
// transmitters as loopback connections of this process.
//
// - StartToReady: from spawning the driver to its READY=1 on the
//   notification socket, with 1000 signals and 1000 events in the cache
//   (target: at most 2 s).
// - StopAfterSigterm: from SIGTERM to the end of the process while the
//   Kernel answers the unregistration (target: at most 1 s).
// - LoopbackLoad: 500 transmitters send 1000 signals per second in all for
//   VD_LOAD_SECONDS (default 20) with FlushCacheWrites on; latency from a
//   message's send to the simulator's acknowledgement of its signal. Every
//   signal must be acknowledged (a refused one never is). Targets: all
//   acknowledged, p99 at most 100 ms.
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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
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

// VD_LOAD_LOG=0 and VD_LOAD_FLUSH=0 switch the session log and the cache
// flushes off, to tell their costs apart.
std::string Switch(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string(value) == "0" ? "0" : "1";
}

std::string WriteRegistry(const std::string& dir, int32_t kernel_port, int32_t device_port) {
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
      Switch("VD_LOAD_LOG") + "\n\"LogPath\"=\"" + dir +
      "log/\"\n"
      "\"FlushCacheWrites\"=dword:0000000" +
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

// 1000 signals and 1000 system events in the cache, as a driver that could
// not reach its Kernel leaves them.
void FillCache(const std::string& cache) {
  PosixFileSystem fs;
  SystemClock clock;
  NullLogWriter log;
  NoEvents events;
  DriverSettings settings;
  TSignalBuffer signals(fs, clock, events, log, settings, cache, false);
  for (int i = 0; i < 1000; ++i) {
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

void StartToReady(benchmark::State& state) {
  BenchDirectory dir;
  FillCache(dir.Path() + "work/Temp/VolterDirectDrv_Cache/");
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
    driver.Signal(SIGTERM);
    driver.WaitExit(30000);
  }
  state.counters["worst_ms"] = static_cast<double>(worst_ns) / 1e6;
}
BENCHMARK(StartToReady)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

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

// Takes the simulator's JSON lines and notes when each load signal ("L<n>"
// in Extension1) was acknowledged.
class AckRecorder final : public std::streambuf {
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

 protected:
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
    const int64_t now = NowNs();
    if (line_.find("Event buffer size exceeded.") != std::string::npos) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++refusals_;
    }
    const size_t tag = line_.find("\"Extension1\":\"L");
    if (tag != std::string::npos && line_.find("\"answer\":2") != std::string::npos) {
      const size_t n = std::strtoul(line_.c_str() + tag + 15, nullptr, 10);
      std::lock_guard<std::mutex> guard(mutex_);
      if (n < acked_ns_.size() && acked_ns_[n] == 0) acked_ns_[n] = now;
    }
    line_.clear();
  }

  std::string line_;  // the simulator's serving thread only
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

}  // namespace
}  // namespace vd
