// The serving side of the reception load benchmark (a program of its own, not
// a Google Benchmark): one port on the reception loop, the real signal and
// question buffers in a fresh temporary directory with flushing on, and a
// consumer thread that drains the signal buffer as the Kernel link would.
// Prints a line per second: connections, resident memory, CPU use of the
// whole process, signals stored and pending. Drive it with transmitter-sim
// from another process (see README, "Tools").
//
//   reception_load_bench [--port P] [--seconds S] [--flush 0|1] [--workers N]
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/device_control.h"
#include "device/dos_attack_control.h"
#include "device/port_listener.h"
#include "device/reception_loop.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "support/log_writer.h"

namespace {

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  for (int i = 0; i < 200 && std::getline(status, line); ++i)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Counts what the buffer stored.
class CountingSink final : public vd::ISignalSink {
 public:
  explicit CountingSink(vd::ISignalSink& inner) : inner_(inner) {}
  bool AddSignal(vd::TSignal signal) override {
    const bool stored = inner_.AddSignal(std::move(signal));
    (stored ? stored_ : refused_)++;
    return stored;
  }
  std::atomic<long> stored_{0}, refused_{0};

 private:
  vd::ISignalSink& inner_;
};

}  // namespace

int main(int argc, char** argv) {
  int port = 0, seconds = 60, workers = 16;
  bool flush = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--workers") == 0) workers = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--flush") == 0) flush = std::atoi(argv[i + 1]) != 0;
  }
  std::string dir = (std::filesystem::temp_directory_path() / "vd_reception_XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  dir += "/";

  vd::SystemClock clock;
  vd::PosixFileSystem fs;
  vd::NullLogWriter log;
  vd::DriverSettings settings;
  settings.FlushCacheWrites = flush;
  vd::PortEntry entry;
  entry.PortNumber = 1;
  entry.Port = port;
  entry.FloodControl = std::make_shared<vd::TDoSAttackControl>(clock);
  settings.Ports.push_back(entry);
  vd::PrepareOpenFileLimit(settings.Ports.size(), log);

  int status = 0;
  {
    vd::TQuestionsBuffer questions(fs, clock, log, {dir + "que/", settings.Name, "", flush});
    vd::TSignalBuffer buffer(fs, clock, questions, log, settings, dir + "sig/", flush);
    CountingSink signals(buffer);
    vd::TDeviceParamControlBuffer controls;
    vd::TReceptionLoop loop({settings, clock, signals, questions, log, controls,
                             [&](uint16_t type, const std::string& body) {
                               return questions.AddQuestion(type, body, false);
                             }},
                            {std::chrono::milliseconds(1000), static_cast<size_t>(workers)});
    vd::TPortListener listener(loop, port, 1);
    listener.Open();
    std::printf("listening on port %d, cache %s, flush %d\n", listener.Port(), dir.c_str(), flush);
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    std::thread consumer([&] {
      vd::TSignal signal;
      vd::TGuid id;
      while (!stop) {
        if (buffer.GetFirstSignal(signal, id)) {
          buffer.RemoveSignal(id);
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    });

    double cpu = CpuSeconds();
    auto wall = std::chrono::steady_clock::now();
    for (int s = 1; s <= seconds; ++s) {
      std::this_thread::sleep_until(wall + std::chrono::seconds(1));
      const auto now = std::chrono::steady_clock::now();
      const double used = CpuSeconds();
      const double percent =
          100.0 * (used - cpu) / std::chrono::duration<double>(now - wall).count();
      cpu = used;
      wall = now;
      std::printf(
          "t=%d connections=%zu rss_mib=%.1f cpu_pct=%.1f stored=%ld refused=%ld "
          "pending=%zu backlog=%zu\n",
          s, loop.ConnectionCount(), static_cast<double>(ResidentKiB()) / 1024.0, percent,
          signals.stored_.load(), signals.refused_.load(), buffer.PendingCount(), loop.Backlog());
      std::fflush(stdout);
    }
    listener.Close();
    loop.Stop();
    stop = true;
    consumer.join();
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
