// Costs of the signal buffer and the session log on the real disk.
//
// AddSignal (durable, FlushCacheWrites on and off, 1 and 16 producers) runs
// in one binary next to a bare loop doing the same file work in the same
// directory: write a temporary file, fsync it, rename it, fsync the
// directory, unlink it. A consumer thread takes the signals out of the
// buffer (GetFirstSignal plus RemoveSignal, which unlinks the file) as the
// Kernel link would, so the buffer never fills ("refused" counts any
// refusal). Group commit should make 16 producers at least 3 times as fast
// as the bare single-file loop, and one producer at least 0.8 of it; compare
// items_per_second. Disk timings swing with the machine's other work: run
// with --benchmark_repetitions=8 --benchmark_enable_random_interleaving=true
// --benchmark_min_time=0.3 and compare medians.
//
// The directory is made under $VD_BENCH_DIR, else /var/tmp (a disk, not a
// memory file system, on the usual Linux installation).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "bench_directory.h"
#include "buffers/signal_buffer.h"
#include "buffers/signal_xml.h"
#include "config/driver_settings.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "support/logging.h"
#include "support/system_event_sink.h"

namespace vd {
namespace {

class NoEvents final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

DriverSettings BenchSettings(uint32_t capacity = kDefaultSignalBufferCapacity) {
  DriverSettings settings;
  settings.SignalBufferCapacity = capacity;
  settings.Ports.resize(1);
  settings.Ports[0].PortName = "Warehouse North - GPRS receiver";
  return settings;
}

TSignal BenchSignal(const IClock& clock, const DriverSettings& settings) {
  TSignal signal;
  InitPortSignal(signal, 1, settings, clock);
  signal.HardwareNumber = "0417";
  signal.Code = "E130";
  signal.CanalType = "GPRS";
  signal.CanalSlot = "3";
  signal.Extension1 = "Burglary alarm - zone 12, ground floor, rear entrance";
  signal.Extension2 = "Partition 1 armed by user 07 at 22:41";
  signal.Value = -71.25;
  return signal;
}

// Everything one buffer needs; shared by the threads of one benchmark run.
// With a consumer, a thread takes the signals out again as the Kernel link
// does (GetFirstSignal, RemoveSignal, which unlinks the file), woken by the
// buffer's work-added callback, so that the buffer never fills.
struct BufferRig {
  BufferRig(bool flush, bool consumer, uint32_t capacity = kDefaultSignalBufferCapacity)
      : settings(BenchSettings(capacity)),
        buffer(fs, clock, events, log, settings, directory.Path(), flush, [this] { Wake(); }),
        signal(BenchSignal(clock, settings)) {
    if (consumer) drain = std::thread([this] { Drain(); });
  }
  ~BufferRig() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      stop = true;
    }
    woken.notify_one();
    if (drain.joinable()) drain.join();
  }

  void Wake() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      work = true;
    }
    woken.notify_one();
  }

  void Drain() {
    TSignal first;
    TGuid id;
    for (;;) {
      while (buffer.GetFirstSignal(first, id)) buffer.RemoveSignal(id);
      std::unique_lock<std::mutex> lock(mutex);
      woken.wait(lock, [this] { return work || stop; });
      if (stop) return;
      work = false;
    }
  }

  BenchDirectory directory;
  PosixFileSystem fs;
  SystemClock clock;
  NoEvents events;
  NullLogWriter log;
  DriverSettings settings;
  TSignalBuffer buffer;
  TSignal signal;
  std::mutex mutex;
  std::condition_variable woken;
  bool work = false;
  bool stop = false;
  std::thread drain;
};

// state.range(0): flushing on (1) or off (0).
void BM_AddSignal(benchmark::State& state) {
  static std::unique_ptr<BufferRig> rig;
  static std::atomic<int64_t> refused;
  if (state.thread_index() == 0) {
    rig = std::make_unique<BufferRig>(state.range(0) != 0, true);
    refused = 0;
  }
  int64_t refused_here = 0;
  for (auto _ : state) {
    if (!rig->buffer.AddSignal(rig->signal)) {
      ++refused_here;
      ++refused;  // inside the loop: thread 0 reads it right after
    }
  }
  // Only stored signals count: a refusal (buffer full) costs next to nothing.
  state.SetItemsProcessed(state.iterations() - refused_here);
  if (state.thread_index() == 0) {
    state.counters["refused"] = static_cast<double>(refused.load());
    rig.reset();
  }
}
BENCHMARK(BM_AddSignal)->ArgName("flush")->Arg(1)->Arg(0)->Threads(1)->Threads(16)->UseRealTime();

void WriteWhole(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) throw std::system_error(errno, std::generic_category(), "write");
    done += static_cast<size_t>(n);
  }
}

// The file work of one durable signal without the buffer: the baseline.
void BM_BareDurableFileLoop(benchmark::State& state) {
  static std::unique_ptr<BenchDirectory> directory;
  static std::string document;
  if (state.thread_index() == 0) {
    directory = std::make_unique<BenchDirectory>();
    SystemClock clock;
    document = SignalDocument(BenchSignal(clock, BenchSettings()));
  }
  // The directory exists once the loop has started (all threads wait there).
  std::string stem;
  int64_t n = 0;
  for (auto _ : state) {
    if (stem.empty()) stem = directory->Path() + std::to_string(state.thread_index()) + "_";
    const std::string name = stem + std::to_string(n++) + ".sig";
    const std::string temporary = name + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open");
    WriteWhole(fd, document);
    if (::fsync(fd) != 0) throw std::system_error(errno, std::generic_category(), "fsync");
    ::close(fd);
    if (::rename(temporary.c_str(), name.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category(), "rename");
    }
    const int dir = ::open(directory->Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
      throw std::system_error(errno, std::generic_category(), "fsync directory");
    }
    ::close(dir);
    ::unlink(name.c_str());  // as RemoveSignal does in the buffer's loop
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) directory.reset();
}
BENCHMARK(BM_BareDurableFileLoop)->Threads(1)->Threads(16)->UseRealTime();

// The buffer's own costs with 10, 10,000 and 100,000 signals pending, with
// flushing off so that the disk's flush time does not hide them (the files
// are still written, renamed and deleted in a directory holding that many).
// Each is to stay within 1.2 times its cost at 10 pending. One rig per
// backlog, filled once and shared by the three benchmarks.
BufferRig& RigWithPending(int64_t pending) {
  static std::map<int64_t, std::unique_ptr<BufferRig>> rigs;
  std::unique_ptr<BufferRig>& rig = rigs[pending];
  if (!rig) {
    rig = std::make_unique<BufferRig>(false, false, kMaxSignalBufferCapacity);
    for (int64_t i = 0; i < pending; ++i) {
      if (!rig->buffer.AddSignal(rig->signal)) throw std::runtime_error("signal refused");
    }
  }
  return *rig;
}

void TakeFirst(BufferRig& rig) {
  TSignal first;
  TGuid id;
  if (!rig.buffer.GetFirstSignal(first, id) || !rig.buffer.RemoveSignal(id)) {
    throw std::runtime_error("no signal to take");
  }
}

// AddSignal; the oldest signal is taken out again untimed.
void BM_AddSignalAtPending(benchmark::State& state) {
  BufferRig& rig = RigWithPending(state.range(0));
  for (auto _ : state) {
    if (!rig.buffer.AddSignal(rig.signal)) state.SkipWithError("refused");
    state.PauseTiming();
    TakeFirst(rig);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}

// GetFirstSignal and RemoveSignal (with the file's deletion), as the Kernel
// link after an acknowledgement; a signal is added again untimed.
void BM_GetFirstAndRemoveAtPending(benchmark::State& state) {
  BufferRig& rig = RigWithPending(state.range(0));
  for (auto _ : state) {
    TakeFirst(rig);
    state.PauseTiming();
    rig.buffer.AddSignal(rig.signal);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}

// PostponeSignal of the first signal with no delay, and the GetFirstSignal
// that returns it behind the others, as after a refusal.
void BM_PostponeAndReturnAtPending(benchmark::State& state) {
  BufferRig& rig = RigWithPending(state.range(0));
  TSignal first;
  TGuid id;
  rig.buffer.GetFirstSignal(first, id);
  for (auto _ : state) {
    if (!rig.buffer.PostponeSignal(id, 0) || !rig.buffer.GetFirstSignal(first, id)) {
      state.SkipWithError("not postponed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_AddSignalAtPending)->ArgName("pending")->Arg(10)->Arg(10000)->Arg(100000);
BENCHMARK(BM_GetFirstAndRemoveAtPending)->ArgName("pending")->Arg(10)->Arg(10000)->Arg(100000);
BENCHMARK(BM_PostponeAndReturnAtPending)->ArgName("pending")->Arg(10)->Arg(10000)->Arg(100000);

// Start with 1000 and 100,000 signal files in the cache directory (the page
// cache warm).
void BM_LoadSignalFiles(benchmark::State& state) {
  const int64_t files = state.range(0);
  BufferRig& rig = RigWithPending(files);
  for (auto _ : state) {
    TSignalBuffer loaded(rig.fs, rig.clock, rig.events, rig.log, rig.settings, rig.directory.Path(),
                         false);
    if (static_cast<int64_t>(loaded.PendingCount()) != files) {
      state.SkipWithError("not every file loaded");
    }
  }
  state.SetItemsProcessed(state.iterations() * files);
}
BENCHMARK(BM_LoadSignalFiles)
    ->ArgName("files")
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

constexpr char kLogLine[] =
    "New signal added: HN: 0417 Code: E130 Ext1: Burglary alarm - zone 12 Ext2:  Ext3:  "
    "Ext4:  Ext5:  Value: -71.25 Driver port: 1 Driver port name: North Canal slot: 3 "
    "Canal type: GPRS Signal type: stExternal";

void BM_LogWrite(benchmark::State& state) {
  BenchDirectory directory;
  PosixFileSystem fs;
  SystemClock clock;
  TLogging log(fs, clock, directory.Path(), 1 << 30, true, ProgramInfo{});
  for (auto _ : state) log.LogWrite(kLogLine);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogWrite);

// Open, append one line with a timestamp and CR LF, close: the bare cost.
void BM_BareOpenAppendClose(benchmark::State& state) {
  BenchDirectory directory;
  const std::string path = directory.Path() + "bare.txt";
  const std::string line = std::string("2026-12-06 18:07:37.123 | ") + kLogLine + "\r\n";
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open");
    WriteWhole(fd, line);
    ::close(fd);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareOpenAppendClose);

}  // namespace
}  // namespace vd
