// soak: kills and restarts the real driver under load and checks that no
// stored signal is lost.
//
// Runs VolterDirectDrv on a generated registry file in a work directory, with
// the Kernel simulator in this process and transmitter connections of its own
// sending signals that carry unique identifiers. It repeats: start, load,
// SIGKILL at a random moment (also during start-up and during the stop
// sequence), restart on the same cache directory; now and then it restarts
// the simulator or drops the link. At the end it drains the cache and
// reconciles the driver's "New signal added:" log lines with what reached the
// simulator. Exit status 0 only when the run kept every promise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "driver_process.h"
#include "free_port.h"
#include "kernel_simulator.h"
#include "notify_socket.h"
#include "platform/host.h"
#include "soak_ledger.h"

namespace {

using Clock = std::chrono::steady_clock;
using vd::TSoakFigures;

struct Options {
  int kills = 20;
  std::optional<uint64_t> seed;
  std::string driver;
  std::string dir;    // empty: a new temporary directory, removed after a pass
  double rate = 100;  // signals per second over all connections
  int connections = 4;
  int max_run_ms = 1000;  // longest load phase between READY and the kill
  int start_timeout_s = 30;
  int stop_timeout_s = 30;
  int drain_timeout_s = 120;
};

void Usage() {
  std::fprintf(stderr,
               "usage: soak [--kills N] [--seed S] [--driver PATH] [--dir DIR] [--rate SIG_PER_S]\n"
               "            [--connections N] [--max-run-ms MS] [--start-timeout S]\n"
               "            [--stop-timeout S] [--drain-timeout S]\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
  if (argc % 2 == 0) return false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    const bool numeric = end != value.c_str() && *end == '\0' && number >= 0;
    if (key == "--driver") {
      o.driver = value;
    } else if (key == "--dir") {
      o.dir = value;
    } else if (!numeric) {
      return false;
    } else if (key == "--kills") {
      o.kills = static_cast<int>(number);
    } else if (key == "--seed") {
      o.seed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (key == "--rate") {
      o.rate = number;
    } else if (key == "--connections") {
      o.connections = std::max(1, static_cast<int>(number));
    } else if (key == "--max-run-ms") {
      o.max_run_ms = static_cast<int>(number);
    } else if (key == "--start-timeout") {
      o.start_timeout_s = std::max(1, static_cast<int>(number));
    } else if (key == "--stop-timeout") {
      o.stop_timeout_s = std::max(1, static_cast<int>(number));
    } else if (key == "--drain-timeout") {
      o.drain_timeout_s = std::max(1, static_cast<int>(number));
    } else {
      return false;
    }
  }
  return true;
}

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Collects the simulator's JSON lines; written by the simulator's serving
// thread, taken by the main thread. mutex_ guards text_.
class LineSink final : public std::streambuf {
 public:
  std::string Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string taken;
    // Only whole lines; the rest waits for its end.
    const size_t end = text_.rfind('\n');
    if (end == std::string::npos) return taken;
    taken = text_.substr(0, end + 1);
    text_.erase(0, end + 1);
    return taken;
  }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += static_cast<char>(c);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    return n;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

// The Kernel simulator on one fixed port, restartable; main thread only.
class Kernel {
 public:
  Kernel() : out_(&sink_) {}
  // Starts the simulator on port (0: a free one); false when it cannot bind
  // within a few tries.
  bool Start(int port) {
    vd::TKernelSimOptions options;
    options.TcpPort = port;
    for (int attempt = 0; attempt < 100; ++attempt) {
      try {
        sim_ = std::make_unique<vd::TKernelSimulator>(options, &out_);
        port_ = sim_->TcpPort();
        sim_->SetSilent(silent_);
        return true;
      } catch (const std::exception&) {
        SleepMs(20);
      }
    }
    return false;
  }
  void Stop() { sim_.reset(); }
  bool Running() const { return sim_ != nullptr; }
  // Registration frames received by the simulator running now.
  size_t Registrations() const { return sim_ ? sim_->CountReceived(2) : 0; }
  int Port() const { return port_; }
  void DropConnection() {
    if (sim_) sim_->DropConnection();
  }
  // A silent simulator answers nothing, so that signals pile up in the cache.
  void SetSilent(bool silent) {
    silent_ = silent;
    if (sim_) sim_->SetSilent(silent);
  }
  void Harvest(vd::TSoakLedger& ledger) {
    std::string text = sink_.Take();
    std::string_view rest = text;
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      ledger.AddSimulatorLine(rest.substr(0, end));
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }

 private:
  LineSink sink_;
  std::ostream out_;
  std::unique_ptr<vd::TKernelSimulator> sim_;
  int port_ = 0;
  bool silent_ = false;
};

// Transmitter load: a few connections to the device port sending signals at
// a steady total rate, each with the identifier "soak-<n>" as its payload.
// Connections that fail are opened again; a message that cannot be sent is
// skipped (its identifier is never used). Runs on a thread of its own.
class Load {
 public:
  Load(int port, double rate, int connections)
      : port_(port),
        rate_(rate),
        fds_(static_cast<size_t>(connections), -1),
        retry_at_(static_cast<size_t>(connections)) {}
  ~Load() { Stop(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int& fd : fds_) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
  size_t Sent() const { return sent_; }

 private:
  void Run() {
    const auto start = Clock::now();
    int64_t slots = 0;
    while (!stop_) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const auto due = static_cast<int64_t>(elapsed * rate_);
      for (; slots < due && !stop_; ++slots) SendOne(static_cast<size_t>(slots) % fds_.size());
      for (int& fd : fds_) Drain(fd);
      SleepMs(5);
    }
  }
  void SendOne(size_t index) {
    int& fd = fds_[index];
    if (fd < 0 && !Connect(index)) return;
    const std::string message =
        "[ABCD1234SOAK" + SourceDate() + "00|soak-" + std::to_string(next_id_) + "]";
    const ssize_t n = send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(message.size())) {
      ++next_id_;
      ++sent_;
      return;
    }
    // A part of a message would garble the next one: start afresh.
    close(fd);
    fd = -1;
    if (n > 0) ++next_id_;
  }
  bool Connect(size_t index) {
    const auto now = Clock::now();
    if (now < retry_at_[index]) return false;
    retry_at_[index] = now + std::chrono::milliseconds(20);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return false;
    }
    fds_[index] = fd;
    return true;
  }
  static void Drain(int& fd) {
    if (fd < 0) return;
    char buffer[4096];
    for (int i = 0; i < 64; ++i) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        close(fd);
        fd = -1;
      }
      return;
    }
  }
  static std::string SourceDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
    return text;
  }

  const int port_;
  const double rate_;
  std::vector<int> fds_;  // the load thread's, until Stop
  std::vector<Clock::time_point> retry_at_;
  uint64_t next_id_ = 0;
  std::atomic<size_t> sent_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One run of the driver as a child process: its output appended to output,
// no input, reporting READY=1 and STOPPING=1 to notify_path.
vd::TDriverLaunch DriverLaunch(const std::string& executable, const std::string& registry,
                               const std::string& output, const std::string& notify_path) {
  vd::TDriverLaunch launch;
  launch.Executable = executable;
  launch.Arguments = {"--registry", registry};
  launch.OutputPath = output;
  launch.StdinFromDevNull = true;
  launch.NotifyPath = notify_path;
  return launch;
}

std::string RegistryText(const std::string& dir, int kernel_port, int device_port) {
  char port[16];
  std::snprintf(port, sizeof port, "%08x", static_cast<unsigned>(device_port));
  std::string text =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers]\n";
  text += "\"Path\"=\"" + dir + "work/\"\n";
  text += "\"Kernel1\"=\"Name=soak;IP=127.0.0.1;Port=" + std::to_string(kernel_port) + "\"\n\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver]\n";
  text += "\"Name\"=\"Soak Driver\"\n\"LogSave\"=dword:00000001\n";
  text += "\"FlushCacheWrites\"=dword:00000001\n\"UseNamedPipeConnection\"=dword:00000000\n";
  text += "\"LogPath\"=\"" + dir + "log/\"\n\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver\\Port1]\n";
  text += "\"IsActive\"=dword:00000001\n\"Port\"=dword:" + std::string(port) + "\n";
  text += "\"PortNumber\"=dword:00000001\n\"InactivityMessageTimeout\"=dword:00000258\n";
  text += "\"MaxReceiveSignals\"=dword:000186a0\n\"PortName\"=\"Soak port\"\n";
  return text;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t QueuedFiles(const std::string& cache) {
  return vd::LeftoverFiles(cache, ".sig").size() + vd::LeftoverFiles(cache, ".que").size();
}

class Soak {
 public:
  Soak(const Options& options, const std::string& dir, uint64_t seed)
      : o_(options),
        dir_(dir),
        cache_(dir + "work/Temp/VolterDirectDrv_Cache/"),
        registry_(dir + "registry.reg"),
        output_(dir + "driver.out"),
        notify_(dir + "notify"),
        random_(seed) {
    figures_.Seed = seed;
  }

  bool Run() {
    const auto start = Clock::now();
    if (!kernel_.Start(0)) return Problem("the Kernel simulator does not start");
    device_port_ = vd::FreeLoopbackPort();
    std::ofstream(registry_, std::ios::binary) << RegistryText(dir_, kernel_.Port(), device_port_);
    {
      Load load(device_port_, o_.rate, o_.connections);
      load.Start();
      for (int round = 0; figures_.Kills < o_.kills && round < o_.kills * 4 + 100; ++round) {
        if (!Round()) break;
        if (round % 50 == 49) Progress(start);
      }
      load.Stop();
      figures_.SignalsSent = load.Sent();
    }
    Drain();
    kernel_.Harvest(ledger_);
    kernel_.Stop();
    CheckCache("at the end");

    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "log")) {
      ledger_.AddLogText(ReadAll(entry.path()));
    }
    figures_.SignalsAdded = ledger_.AddedCount();
    figures_.SignalsDelivered = ledger_.DeliveredCount();
    figures_.Duplicates = ledger_.DuplicateFrames();
    const std::vector<std::string> lost = ledger_.Lost();
    figures_.Lost = lost.size();
    for (size_t i = 0; i < lost.size() && i < 20; ++i) Problem("lost signal " + lost[i]);
    figures_.DurationSeconds = static_cast<double>(MsSince(start)) / 1000.0;
    return vd::SoakPassed(figures_);
  }

  const TSoakFigures& Figures() const { return figures_; }

 private:
  bool Problem(const std::string& text) {
    figures_.Problems.push_back(text);
    std::fprintf(stderr, "soak: %s\n", text.c_str());
    return false;
  }

  int64_t Uniform(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, std::max(low, high))(random_);
  }
  bool Chance(int percent) { return Uniform(0, 99) < percent; }

  void Progress(Clock::time_point start) {
    std::printf("soak: %d kills, %d starts, %.0f s\n", figures_.Kills, figures_.Starts,
                static_cast<double>(MsSince(start)) / 1000.0);
    std::fflush(stdout);
  }

  // One start of the driver and its end; false stops the run. The Kernel
  // answers again afterwards.
  bool Round() {
    const bool ended = RoundOnce();
    kernel_.SetSilent(false);
    return ended;
  }

  bool RoundOnce() {
    notify_.Drain();
    vd::TDriverProcess driver(DriverLaunch(o_.driver, registry_, output_, notify_.Path()));
    if (!driver.Started()) return Problem("cannot start " + o_.driver);
    ++figures_.Starts;
    const auto spawned = Clock::now();

    if (Chance(15)) {  // a kill during start-up, around the usual time to READY
      const bool ready = notify_.WaitFor("READY=1", Uniform(0, typical_ready_ms_ * 3 / 2));
      if (ready) Ready(spawned);
      return Kill(driver, !ready, false);
    }
    if (!notify_.WaitFor("READY=1", int64_t{o_.start_timeout_s} * 1000)) {
      ++figures_.Hangs;
      Problem("start " + std::to_string(figures_.Starts) + " did not reach READY within " +
              std::to_string(o_.start_timeout_s) + " s");
      Kill(driver, true, false);
      return false;
    }
    Ready(spawned);
    CheckTemporaryFiles();

    // The load phase, with a simulator restart or a dropped link now and then:
    // mostly once the Kernel has opened the device port, sometimes while the
    // driver is still registering.
    if (Chance(80) && !DevicePortOpen(int64_t{o_.start_timeout_s} * 1000)) {
      Problem("start " + std::to_string(figures_.Starts) +
              ": the device port did not open within " + std::to_string(o_.start_timeout_s) + " s");
    }
    // Now and then the Kernel stops answering, so that the kill finds stored
    // signals waiting in the cache; it answers again once the driver has ended.
    if (Chance(25)) {
      kernel_.SetSilent(true);
      ++figures_.SilentRounds;
    }
    const int64_t run_ms = Uniform(0, o_.max_run_ms);
    const int64_t event_at = Uniform(0, run_ms);
    SleepMs(event_at);
    if (Chance(8)) {
      kernel_.Harvest(ledger_);
      const int port = kernel_.Port();
      kernel_.Stop();
      SleepMs(Uniform(0, 300));
      if (!kernel_.Start(port)) return Problem("the Kernel simulator does not start again");
      ++figures_.SimulatorRestarts;
    } else if (Chance(8)) {
      kernel_.DropConnection();
      ++figures_.LinkDrops;
    }
    SleepMs(run_ms - event_at);
    kernel_.Harvest(ledger_);

    const int64_t how = Uniform(0, 99);
    if (how < 70) return Kill(driver, false, false);
    driver.Signal(SIGTERM);
    if (how < 90) {  // into the stop sequence
      notify_.WaitFor("STOPPING=1", Uniform(0, 20));
      SleepMs(Uniform(0, 30));
      if (driver.Alive()) return Kill(driver, false, true);
    }
    return CleanStop(driver, "stop " + std::to_string(figures_.Starts));
  }

  // Waits at most timeout_ms until the device port accepts a connection.
  bool DevicePortOpen(int64_t timeout_ms) const {
    const auto start = Clock::now();
    for (;;) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(device_port_));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool open = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      if (open) return true;
      if (MsSince(start) >= timeout_ms) return false;
      SleepMs(10);
    }
  }

  void Ready(Clock::time_point spawned) {
    typical_ready_ms_ = (typical_ready_ms_ * 7 + MsSince(spawned)) / 8;
    if (last_kill_) {
      figures_.LongestRestartMs = std::max(figures_.LongestRestartMs, MsSince(*last_kill_));
      last_kill_.reset();
    }
  }

  bool Kill(vd::TDriverProcess& driver, bool at_start, bool while_stopping) {
    driver.Signal(SIGKILL);
    if (!driver.WaitExit(30000)) return Problem("a killed driver did not end within 30 s");
    last_kill_ = Clock::now();
    ++figures_.Kills;
    if (at_start) ++figures_.KillsAtStart;
    if (while_stopping) ++figures_.KillsWhileStopping;
    CheckCache("after kill " + std::to_string(figures_.Kills));
    return true;
  }

  bool CleanStop(vd::TDriverProcess& driver, const std::string& what) {
    driver.Signal(SIGTERM);
    const std::optional<int> status = driver.WaitExit(int64_t{o_.stop_timeout_s} * 1000);
    if (!status) {
      ++figures_.Hangs;
      Problem(what + ": SIGTERM did not end the driver within " +
              std::to_string(o_.stop_timeout_s) + " s");
      Kill(driver, false, true);
      return false;
    }
    last_kill_.reset();
    ++figures_.CleanStops;
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      ++figures_.FailedStops;
      Problem(what + ": the driver ended with wait status " + std::to_string(*status));
    }
    CheckCache("after " + what);
    return true;
  }

  // A ".tmp" file seen at READY may belong to a write begun since; one that
  // is still there a moment later was left behind.
  void CheckTemporaryFiles() {
    const std::vector<std::string> seen = vd::LeftoverFiles(cache_, ".tmp");
    if (seen.empty()) return;
    SleepMs(300);
    for (const std::string& name : vd::LeftoverFiles(cache_, ".tmp")) {
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
        ++figures_.TmpFindings;
        Problem("start " + std::to_string(figures_.Starts) + " left " + name);
      }
    }
  }

  // With the driver ended: no file set aside, every file readable.
  void CheckCache(const std::string& when) {
    for (const std::string& name : vd::LeftoverFiles(cache_, ".error")) {
      if (std::find(errors_seen_.begin(), errors_seen_.end(), name) != errors_seen_.end()) {
        continue;
      }
      errors_seen_.push_back(name);
      ++figures_.ErrorFindings;
      Problem(when + ": " + name);
    }
    for (const std::string& name : vd::UnreadableCacheFiles(cache_, dir_ + "scratch/")) {
      ++figures_.UnreadableFindings;
      Problem(when + ": unreadable cache file " + name);
    }
  }

  // The driver runs until its cache is empty, then stops cleanly.
  void Drain() {
    if (!kernel_.Running() && !kernel_.Start(kernel_.Port())) {
      Problem("the Kernel simulator does not start for the drain");
      return;
    }
    notify_.Drain();
    const size_t registrations = kernel_.Registrations();
    vd::TDriverProcess driver(DriverLaunch(o_.driver, registry_, output_, notify_.Path()));
    ++figures_.Starts;
    const auto spawned = Clock::now();
    if (!notify_.WaitFor("READY=1", int64_t{o_.start_timeout_s} * 1000)) {
      ++figures_.Hangs;
      Problem("the drain start did not reach READY");
      return;
    }
    Ready(spawned);
    CheckTemporaryFiles();
    // Done once every signal the driver took (its log names them) is
    // delivered and the cache has stayed empty for a second with the link
    // registered: after READY the driver still writes its own events of the
    // connection and the registration.
    const auto start = Clock::now();
    std::optional<Clock::time_point> empty_since;
    bool done = false;
    while (!done && MsSince(start) < int64_t{o_.drain_timeout_s} * 1000) {
      SleepMs(50);
      kernel_.Harvest(ledger_);
      if (QueuedFiles(cache_) > 0 || kernel_.Registrations() == registrations) {
        empty_since.reset();
      } else if (!empty_since) {
        empty_since = Clock::now();
      } else if (MsSince(*empty_since) >= 1000) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(dir_ + "log", error))
          ledger_.AddLogText(ReadAll(entry.path()));
        done = ledger_.Lost().empty();
      }
    }
    if (!done) {
      char waited[32];
      std::snprintf(waited, sizeof waited, "%.1f", static_cast<double>(MsSince(start)) / 1000.0);
      Problem("the drain ended after " + std::string(waited) + " s with " +
              std::to_string(QueuedFiles(cache_)) + " files in the cache, " +
              std::to_string(ledger_.Lost().size()) + " signals undelivered, the link " +
              (kernel_.Registrations() == registrations ? "never registered" : "registered"));
    }
    CleanStop(driver, "the final stop");
  }

  const Options& o_;
  const std::string dir_, cache_, registry_, output_;
  vd::TNotifySocket notify_;
  std::mt19937_64 random_;
  Kernel kernel_;
  vd::TSoakLedger ledger_;
  TSoakFigures figures_;
  std::optional<Clock::time_point> last_kill_;
  int64_t typical_ready_ms_ = 100;
  int device_port_ = 0;
  std::vector<std::string> errors_seen_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  if (options.driver.empty()) options.driver = vd::ExecutableDirectory() + "VolterDirectDrv";
  const uint64_t seed = options.seed ? *options.seed : std::random_device{}();
  std::string dir = options.dir;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vd-soak.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "soak: cannot create a directory from %s\n", pattern.c_str());
      return 1;
    }
    dir = pattern;
  }
  if (dir.back() != '/') dir += '/';
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  std::printf("soak: seed %llu, %d kills, driver %s, directory %s\n",
              static_cast<unsigned long long>(seed), options.kills, options.driver.c_str(),
              dir.c_str());
  std::fflush(stdout);

  bool passed = false;
  TSoakFigures figures;
  try {
    Soak soak(options, dir, seed);
    passed = soak.Run();
    figures = soak.Figures();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
  std::printf("%s%s\n", vd::SoakSummaryText(figures).c_str(), vd::SoakSummaryJson(figures).c_str());
  if (passed && options.dir.empty()) {
    std::filesystem::remove_all(dir, error);
  } else {
    std::printf("soak: the files stay in %s\n", dir.c_str());
  }
  return passed ? 0 : 1;
}
