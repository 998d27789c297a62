// The Kernel link against the simulated Kernel over loopback, with the real
// clock:
// - drain: 1000 pending signals sent, acknowledged and removed, next to a raw
//   stop-and-wait ping-pong of the same frame bytes between two plain sockets
//   in the same run (the target is a ratio raw / link of at least 0.5);
// - latency from AddSignal returning to the simulator holding the frame, on an
//   idle registered link (target p99 <= 10 ms);
// - the CPU the process spends while the link is idle and registered (the
//   link thread's share is at most this; target below 1% of one core).
// Cache writes are not flushed (FlushCacheWrites off): the disk would
// dominate both figures and is measured by the buffer's own benchmarks.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/signal.h"
#include "kernel/frame_codec.h"
#include "kernel/frame_header.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "kernel_simulator.h"
#include "link/communication_data.h"
#include "link/kernel_link_thread.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "support/log_writer.h"
#include "support/system_time_setter.h"

namespace vd {
namespace {

using Clock = std::chrono::steady_clock;

class NoTimeSetter final : public ISystemTimeSetter {
 public:
  bool SetSystemTimeUtc(int64_t) override { return true; }
};

class NoEvents final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

// CPU seconds of the process's thread named name (0 when there is none).
double ThreadCpuSeconds(const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    std::getline(comm, line);
    if (line != name) continue;
    std::ifstream schedstat(entry.path() / "schedstat");
    double ns = 0;
    schedstat >> ns;
    return ns / 1e9;
  }
  return 0;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A driver with its buffers in a fresh temporary directory and a link to a
// simulated Kernel on a loopback port.
struct Rig {
  Rig() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vd_link_bench_XXXXXX";
    dir = mkdtemp(pattern.data());
    dir += "/";
    settings.Name = "Bench Driver";
    settings.Ports.resize(1);
    questions = std::make_unique<TQuestionsBuffer>(
        fs, clock, log,
        TQuestionsBuffer::Options{dir, "Bench Driver", "", false, [this] { wake.Notify(); }});
    signals = std::make_unique<TSignalBuffer>(fs, clock, events, log, settings, dir, false,
                                              [this] { wake.Notify(); });
    TKernelSimOptions options;
    options.TcpPort = 0;
    sim = std::make_unique<TKernelSimulator>(options);
    kernel.AddKernel("K", "127.0.0.1", sim->TcpPort());
    comm = std::make_unique<TCommunicationData>(
        TCommunicationData::Collaborators{clock, settings, kernel, modules, *signals, *questions,
                                          events, log, time_setter},
        TCommunicationData::kTcpStatusIntervalSeconds,
        TCommunicationData::kTcpResendIntervalSeconds);
    link = std::make_unique<TKernelLinkThread>(
        TKernelLinkThread::Options{TKernelLinkKind::Tcp, settings.Name, "", {}},
        TKernelLinkThread::Collaborators{clock, log, events, kernel, modules, *comm, wake,
                                         PosixSocketApi()});
  }
  ~Rig() {
    link->Stop();
    link.reset();
    sim->Stop();
    std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) {
      // Left behind in /tmp.
    }
  }
  void AddSignals(int count) {
    for (int i = 0; i < count; ++i) {
      TSignal signal;
      InitPortSignal(signal, 1, settings, clock);
      signal.HardwareNumber = std::to_string(1000 + i);
      signal.Code = "E130";
      signal.Extension1 = "Burglary alarm - zone 12, ground floor, rear entrance";
      signals->AddSignal(signal);
    }
  }
  bool WaitRegistered() {
    return sim->WaitFor([](const TKernelSimulator& s) { return s.CountReceived(2500, 2) >= 1; },
                        10000);
  }

  std::string dir;
  SystemClock clock;
  PosixFileSystem fs;
  NullLogWriter log;
  NoEvents events;
  NoTimeSetter time_setter;
  DriverSettings settings;
  TListOfModules modules;
  TKernelSettings kernel{modules};
  TWakeEvent wake;
  std::unique_ptr<TQuestionsBuffer> questions;
  std::unique_ptr<TSignalBuffer> signals;
  std::unique_ptr<TKernelSimulator> sim;
  std::unique_ptr<TCommunicationData> comm;
  std::unique_ptr<TKernelLinkThread> link;
};

bool ReadAll(int fd, char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = recv(fd, data + done, size - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// count round trips of frame (client) and a 75-byte answer (server) over a
// loopback TCP connection; the elapsed time.
Clock::duration RawPingPong(const std::string& frame, int count) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);
  std::thread server([&] {
    const int fd = accept(listener, nullptr, nullptr);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string in(frame.size(), '\0');
    const std::string answer = frame.substr(0, kFrameHeaderSize);
    for (int i = 0; i < count && ReadAll(fd, in.data(), in.size()); ++i) {
      send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    close(fd);
  });
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
  char answer[kFrameHeaderSize];
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    send(client, frame.data(), frame.size(), MSG_NOSIGNAL);
    if (!ReadAll(client, answer, sizeof answer)) break;
  }
  const auto elapsed = Clock::now() - start;
  close(client);
  server.join();
  close(listener);
  return elapsed;
}

void BM_DrainVersusRawPingPong(benchmark::State& state) {
  constexpr int kSignals = 1000;
  for (auto _ : state) {
    Rig rig;
    rig.link->Start();
    if (!rig.WaitRegistered()) state.SkipWithError("no registration");
    rig.AddSignals(1);  // one signal to capture the frame bytes the link sends
    rig.sim->WaitFor([](const TKernelSimulator& s) { return s.CountReceived(2501) == 1; }, 5000);
    TOrvanFrame frame = rig.sim->Received().back().Frame;
    TFrameCodec codec(FrameSecurity{});
    codec.EncodeFrame(frame);
    const std::string bytes = SerializeFrame(frame);
    rig.link->Stop();  // the signals wait while the buffer fills
    for (int i = 0; i < 100 && rig.signals->PendingCount() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    rig.AddSignals(kSignals);

    const double sim_cpu0 = ThreadCpuSeconds("kernel-sim");
    const auto start = Clock::now();
    rig.link->Start();
    for (int i = 0; i < 60000 && rig.signals->PendingCount() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const double link_s = Seconds(Clock::now() - start);
    const double link_cpu = ThreadCpuSeconds("vd-kernel-link");
    const double sim_cpu = ThreadCpuSeconds("kernel-sim") - sim_cpu0;
    const double raw_s = Seconds(RawPingPong(bytes, kSignals));
    state.SetIterationTime(link_s);
    state.counters["frame_bytes"] = static_cast<double>(bytes.size());
    state.counters["link_ms"] = link_s * 1000;
    state.counters["raw_ms"] = raw_s * 1000;
    state.counters["raw_over_link"] = raw_s / link_s;
    state.counters["link_cpu_us_per_signal"] = link_cpu * 1e6 / kSignals;
    state.counters["sim_cpu_us_per_signal"] = sim_cpu * 1e6 / kSignals;
    state.counters["left"] = static_cast<double>(rig.signals->PendingCount());
  }
}
BENCHMARK(BM_DrainVersusRawPingPong)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SignalLatencyOnIdleLink(benchmark::State& state) {
  constexpr int kSamples = 300;
  for (auto _ : state) {
    Rig rig;
    rig.link->Start();
    if (!rig.WaitRegistered()) state.SkipWithError("no registration");
    std::vector<double> ms;
    for (int i = 0; i < kSamples; ++i) {
      // Idle: nothing in flight, the link sits in its 100 ms wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));
      const size_t before = rig.sim->CountReceived(2501);
      TSignal signal;
      InitPortSignal(signal, 1, rig.settings, rig.clock);
      rig.signals->AddSignal(signal);
      const auto added = Clock::now();
      rig.sim->WaitFor(
          [before](const TKernelSimulator& s) { return s.CountReceived(2501) > before; }, 2000);
      ms.push_back(Seconds(Clock::now() - added) * 1000);
      for (int w = 0; w < 2000 && rig.signals->PendingCount() > 0; ++w) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    std::sort(ms.begin(), ms.end());
    state.SetIterationTime(ms[ms.size() / 2] / 1000);
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
    state.counters["max_ms"] = ms.back();
  }
}
BENCHMARK(BM_SignalLatencyOnIdleLink)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_IdleRegisteredLinkCpu(benchmark::State& state) {
  for (auto _ : state) {
    Rig rig;
    rig.link->Start();
    if (!rig.WaitRegistered()) state.SkipWithError("no registration");
    const double cpu0 = ProcessCpuSeconds();
    const double link0 = ThreadCpuSeconds("vd-kernel-link");
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double wall = Seconds(Clock::now() - start);
    const double cpu = ProcessCpuSeconds() - cpu0;
    const double link_cpu = ThreadCpuSeconds("vd-kernel-link") - link0;
    state.SetIterationTime(wall);
    // The simulator's thread and this one count too: an upper bound.
    state.counters["process_cpu_percent"] = 100 * cpu / wall;
    state.counters["link_thread_cpu_percent"] = 100 * link_cpu / wall;
  }
}
BENCHMARK(BM_IdleRegisteredLinkCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vd
