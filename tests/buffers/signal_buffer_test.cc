#include "buffers/signal_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "buffers/cache_directory.h"
#include "buffers/questions_buffer.h"
#include "buffers/signal_xml.h"
#include "config/driver_settings.h"
#include "fakes/eventually.h"
#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "fakes/scoped_time_zone.h"
#include "platform/host_file_system.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/time_utils.h"

namespace vd {
namespace {

class SignalBufferTest : public testing::Test {
 protected:
  SignalBufferTest() {
    settings_.Ports.resize(2);
    settings_.Ports[0].PortName = "North";
    settings_.Ports[0].MaxReceiveSignals = 3;
    settings_.Ports[0].InactivityMessageTimeout = 60;
  }

  std::unique_ptr<TSignalBuffer> Open(bool flush_writes = true) {
    return std::make_unique<TSignalBuffer>(fs_, clock_, events_, log_, settings_, dir_.Path(),
                                           flush_writes);
  }

  TSignal Signal(const std::string& hardware_number, int64_t time_in = 0) {
    TSignal signal;
    InitPortSignal(signal, 1, settings_, clock_);
    signal.HardwareNumber = hardware_number;
    if (time_in != 0) signal.TimeIn = time_in;
    return signal;
  }

  size_t FileCount() { return posix_.ListDirectory(dir_.Path()).size(); }

  // Takes up to limit pending signals out, oldest first; their hardware numbers.
  std::string Drain(TSignalBuffer& buffer, int limit = 5000) {
    std::string taken;
    TSignal signal;
    TGuid id;
    for (int n = 0; n < limit && buffer.GetFirstSignal(signal, id); ++n)
      taken += buffer.RemoveSignal(id) ? signal.HardwareNumber : "<not removed>";
    return taken;
  }

  ScopedTimeZone zone_{"Europe/Warsaw"};
  ScopedTempDir dir_;
  HostFileSystem posix_;
  FaultFileSystem fs_{posix_};
  FakeClock clock_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  DriverSettings settings_;
};

TEST_F(SignalBufferTest, StartRemovesLeftoversLoadsFilesOldestFirstAndSetsAsideUnreadable) {
  const std::string unfinished = TemporaryFileName(dir_.Path() + "0A1B2C3D.sig");
  posix_.WriteFile(unfinished, "<?xml version=\"1.0\"?><Signal><Sig", false);
  posix_.WriteFile(dir_.Path() + "00000001.sig", SignalDocument(Signal("C", 300)), false);
  posix_.WriteFile(dir_.Path() + "00000002.sig", SignalDocument(Signal("A", 100)), false);
  posix_.WriteFile(dir_.Path() + "00000003.SIG", SignalDocument(Signal("B", 200)), false);
  posix_.WriteFile(dir_.Path() + "00000004.sig", "<Signal><Signal><TimeIn>1x</TimeIn>", false);
  auto buffer = Open();
  EXPECT_EQ(buffer->Stats().OldestTimeIn, 100);
  EXPECT_EQ(Drain(*buffer), "ABC");
  EXPECT_EQ(buffer->Stats().OldestTimeIn, std::nullopt);
  const std::vector<std::string> lines = log_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Removed unfinished cache file: " + unfinished);
  EXPECT_EQ(lines[1].rfind("Unreadable signal file set aside as " + dir_.Path() +
                               "00000004.sig.error: EXMLDocError - ",
                           0),
            0u);
  EXPECT_EQ(events_.Count("Błąd odczytu sygnału z dysku!"), 1u);
  EXPECT_EQ(posix_.ListDirectory(dir_.Path()), std::vector<std::string>{"00000004.sig.error"});
}

TEST_F(SignalBufferTest, DriversOwnTestSignalsAreCountedWhileTheyWaitAlsoAfterARestart) {
  TSignal test = Signal("T");
  test.SignalType = kTestSignalType;
  auto buffer = Open();
  ASSERT_TRUE(buffer->AddSignal(Signal("A")) && buffer->AddSignal(test));
  EXPECT_EQ(buffer->Stats().TestSignals, 1u);
  buffer.reset();
  buffer = Open();  // from the files
  EXPECT_EQ(buffer->Stats().TestSignals, 1u);
  EXPECT_EQ(Drain(*buffer).size(), 2u);
  EXPECT_EQ(buffer->Stats().TestSignals, 0u);
}

// A read that fails for a reason that may pass is tried again; a file that
// keeps failing (a bad sector) is set aside like any unreadable one.
TEST_F(SignalBufferTest, FileThatFailsToReadIsTriedAgainThenSetAside) {
  using Op = FaultFileSystem::Operation;
  posix_.WriteFile(dir_.Path() + "00000001.sig", SignalDocument(Signal("A")), false);
  fs_.FailNext(Op::kReadFile, 1, EIO);
  EXPECT_EQ(Drain(*Open()), "A");
  EXPECT_TRUE(events_.Events().empty());
  posix_.WriteFile(dir_.Path() + "00000002.sig", SignalDocument(Signal("B")), false);
  fs_.on_call = [](Op op, const std::string&) { return op == Op::kReadFile ? EIO : 0; };
  EXPECT_EQ(Open()->PendingCount(), 0u);
  EXPECT_EQ(fs_.Calls(Op::kReadFile), 2 + kCacheLoadAttempts);
  EXPECT_EQ(events_.Count("Błąd odczytu sygnału z dysku!"), 1u);
  EXPECT_EQ(posix_.ListDirectory(dir_.Path()), std::vector<std::string>{"00000002.sig.error"});
}

TEST_F(SignalBufferTest, AddedSignalIsLoggedInLocalTimeAndSurvivesAPowerCutInUtc) {
  TSignal signal = Signal("1234", CivilToUnixSeconds(EncodeDateTime(2024, 3, 5, 14, 7, 31, 0)));
  signal.TimeSource = CivilToUnixSeconds(EncodeDateTime(2024, 3, 5, 0, 0, 0, 0));
  signal.Value = 2.5;
  ASSERT_TRUE(Open()->AddSignal(signal));
  EXPECT_EQ(log_.Lines().at(0),
            "New signal added: HN: 1234 Code:  Ext1:  Ext2:  Ext3:  Ext4:  Ext5:  "
            "Value: 2.5 Driver port: 1 Driver port name: North Canal slot:  Canal type:  "
            "Signal type: stExternal Source time: 2024-03-05 Reception time: 2024-03-05 14:07:31");
  fs_.SimulatePowerCut();
  TSignal loaded;
  TGuid id;
  ASSERT_TRUE(Open()->GetFirstSignal(loaded, id));
  signal.TimeIn -= 3600;  // stored in UTC: CET in March
  signal.TimeSource -= 3600;
  EXPECT_EQ(loaded, signal);
}

TEST_F(SignalBufferTest, ControlCharactersAreEscapedAndUnknownPortsBufferedAndCountedWhenOld) {
  auto buffer = Open();
  TSignal signal = Signal("12\r4");
  signal.DriverPort = 0;  // no such port: buffered without per-port accounting
  signal.TimeIn = clock_.UtcNowMs() / 1000 + 3600 - 301;  // local clock, 301 s ago
  ASSERT_TRUE(buffer->AddSignal(signal));
  ASSERT_TRUE(buffer->AddSignal(Signal("0002")));
  EXPECT_EQ(log_.Lines().at(0).rfind("New signal added: HN: 12[0D]4 Code: ", 0), 0u);
  int32_t old_count = 0;
  int32_t total = 0;
  EXPECT_TRUE(buffer->CountOldSignals(old_count, total));
  EXPECT_EQ(std::make_pair(old_count, total), std::make_pair(1, 2));
}

TEST_F(SignalBufferTest, PerMinuteLimitIsReportedOncePerWindowAndOnlyReports) {
  const std::string limit = "Limit of received signals per minute reached (3) on port 1 .";
  auto buffer = Open();
  // Seconds before each signal and the reports expected after it: the
  // window restarts 61 s after its first signal.
  for (const auto& [seconds, reports] : std::vector<std::pair<int, size_t>>{
           {0, 0}, {10, 0}, {10, 1}, {10, 1}, {31, 1}, {0, 1}, {0, 2}}) {
    clock_.AdvanceSeconds(seconds);
    EXPECT_TRUE(buffer->AddSignal(Signal("0001")));
    EXPECT_EQ(events_.Count(limit), reports);
  }
}

// The system time set forward or back changes no period: seconds passed,
// the system time's jump before them, and the reports expected after them.
TEST_F(SignalBufferTest, InactivityIsReportedOncePerFullPeriodWhateverTheSystemTimeDoes) {
  const std::string report = "No received events on port 1 during given period (60 sec.).";
  auto buffer = Open();
  for (const auto& [seconds, jump, reports] : std::vector<std::tuple<int, int64_t, size_t>>{
           {60, 3600, 0}, {1, 0, 1}, {60, -7200, 1}, {1, 0, 2}}) {
    clock_.SetUtcMs(clock_.UtcNowMs() + jump * 1000);
    clock_.AdvanceSeconds(seconds);
    buffer->CheckInactivity();
    EXPECT_EQ(events_.Count(report), reports);
  }
  clock_.AdvanceSeconds(60);
  buffer->CheckInactivity();
  EXPECT_EQ(events_.Events().size(), 2u);  // port 2 (timeout 0) never reports
}

// Loading has no limit; new signals are refused until removals bring the
// pending ones down to the capacity. The "normalized" margin is 100, or a
// tenth of a capacity below 1000.
TEST_F(SignalBufferTest, AllFilesLoadAndAFullBufferRefusesUntilBackBelowNormal) {
  for (const auto& [capacity, margin] : std::vector<std::pair<int, int>>{{1000, 100}, {50, 5}}) {
    SCOPED_TRACE(capacity);
    ScopedTempDir dir;
    events_.Clear();
    settings_.SignalBufferCapacity = static_cast<uint32_t>(capacity);
    const int files = capacity * 6 / 5;
    for (int i = 0; i < files; ++i)
      posix_.WriteFile(dir.Path() + std::to_string(i) + ".sig", SignalDocument(Signal("x")), false);
    TSignalBuffer buffer(fs_, clock_, events_, log_, settings_, dir.Path(), false);
    EXPECT_EQ(buffer.PendingCount(), static_cast<size_t>(files));
    EXPECT_FALSE(buffer.AddSignal(Signal("x")));
    EXPECT_EQ(Drain(buffer, files - capacity + 1).size(),
              static_cast<size_t>(files - capacity + 1));
    EXPECT_TRUE(buffer.AddSignal(Signal("x")));  // the last one that fits
    EXPECT_FALSE(buffer.AddSignal(Signal("1001")));
    EXPECT_FALSE(buffer.AddSignal(Signal("1002")));
    EXPECT_EQ(events_.Count("Event buffer size exceeded."), 1u);
    EXPECT_EQ(buffer.Stats().Ports.at(0).Refused, 3u);
    EXPECT_EQ(Drain(buffer, margin).size(), static_cast<size_t>(margin));
    EXPECT_EQ(events_.Count("Event buffer size normalized."), 0u);
    EXPECT_EQ(Drain(buffer, 1).size(), 1u);
    EXPECT_EQ(events_.Count("Event buffer size normalized."), 1u);
    EXPECT_EQ(posix_.ListDirectory(dir.Path()).size(), static_cast<size_t>(capacity - margin - 1));
  }
}

// A postponed signal returns once due, behind those added meanwhile; signals
// due at the same call return in the order they were postponed. The system
// time set forward or back moves no due time.
TEST_F(SignalBufferTest, PostponedSignalsReturnWhenDueBehindNewerOnes) {
  auto buffer = Open(false);
  for (const char* number : {"A", "B", "C", "D"}) ASSERT_TRUE(buffer->AddSignal(Signal(number)));
  TSignal signal;
  TGuid id;
  std::string postponed;
  for (const int64_t delay : {60, 15, 20, 15}) {
    ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
    EXPECT_TRUE(buffer->PostponeSignal(id, delay));
    EXPECT_FALSE(buffer->RemoveSignal(id));  // postponed: not acknowledgeable
    EXPECT_FALSE(buffer->PostponeSignal(id, delay));
    postponed += signal.HardwareNumber;
  }
  EXPECT_EQ(postponed, "ABCD");
  clock_.SetUtcMs(clock_.UtcNowMs() + 3600 * 1000);
  clock_.AdvanceSeconds(14);
  ASSERT_TRUE(buffer->AddSignal(Signal("E")));
  EXPECT_EQ(Drain(*buffer), "E");
  clock_.SetUtcMs(clock_.UtcNowMs() - 7200 * 1000);
  clock_.AdvanceSeconds(6);  // B and D were due at 15, C at 20: returned together
  EXPECT_EQ(Drain(*buffer), "BCD");
  EXPECT_EQ(buffer->PostponedCount(), 1u);
  clock_.AdvanceSeconds(40);
  EXPECT_EQ(Drain(*buffer), "A");
}

TEST_F(SignalBufferTest, FailureAtAnyStepRefusesTheSignalAndLeavesNoFileEvenAfterAPowerCut) {
  using Op = FaultFileSystem::Operation;
  for (const bool flush : {true, false}) {
    for (const Op op : {Op::kWriteFile, Op::kRename, Op::kSyncDirectory}) {
      if (!flush && op == Op::kSyncDirectory) continue;
      SCOPED_TRACE(testing::Message() << "flush " << flush << " op " << static_cast<int>(op));
      events_.Clear();
      auto buffer = Open(flush);
      const size_t lines = log_.Lines().size();
      fs_.FailNext(op);
      EXPECT_FALSE(buffer->AddSignal(Signal("0001")));
      EXPECT_EQ(events_.Count("Error while saving signal to disk."), 1u);
      EXPECT_EQ(log_.Lines().at(lines).rfind("Save signal to file exception: EOSError - ", 0), 0u);
      EXPECT_EQ(log_.Lines().at(lines + 1).rfind("New signal NOT added: HN: 0001 ", 0), 0u);
      EXPECT_EQ(FileCount(), 0u);
      ASSERT_TRUE(buffer->AddSignal(Signal("0002")));  // the next one is stored again
      EXPECT_EQ(buffer->InFlightCount(), 0u);
      buffer.reset();
      if (flush) fs_.SimulatePowerCut();
      EXPECT_EQ(Drain(*Open(flush)), "0002");
    }
  }
}

// The disk fails while the driver runs: the signal that cannot be stored is
// refused with the buffer's event, nothing stored earlier is harmed or lost,
// and signals are stored again as soon as the disk is usable.
TEST_F(SignalBufferTest, DiskFaultsWhileRunningRefuseOnlyWhatCannotBeStored) {
  struct Case {
    const char* name;
    std::function<void(const std::string&cache)> break_disk, mend_disk;
    const char* refusal;  // in the event's details; nullptr: not refused
    const char* on_disk;  // the signals whose files are there at the end
  };
  const auto remove = [](const std::string& cache) { std::filesystem::remove_all(cache); };
  const std::vector<Case> cases = {
      {"disk full", [&](const std::string&) { fs_.no_space = true; },
       [&](const std::string&) { fs_.no_space = false; }, "No space left on device", "AC"},
      {"directory removed", remove, [](const std::string&) {}, nullptr, "ABC"},
      {"directory made a file",
       [&](const std::string& cache) {
         remove(cache);
         posix_.WriteFile(cache.substr(0, cache.size() - 1), "not a directory", false);
       },
       [](const std::string& cache) { std::filesystem::remove(cache.substr(0, cache.size() - 1)); },
#ifdef _WIN32
       "(Windows error 3)",  // the path is not found
#else
       "Not a directory",
#endif
       "AC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string cache = dir_.Path() + c.name + "/";
    events_.Clear();
    TSignalBuffer buffer(fs_, clock_, events_, log_, settings_, cache, true);
    ASSERT_TRUE(buffer.AddSignal(Signal("A")));
    c.break_disk(cache);
    EXPECT_EQ(buffer.AddSignal(Signal("B")), c.refusal == nullptr);
    for (int i = 0; c.refusal != nullptr && i < 50; ++i)
      EXPECT_FALSE(buffer.AddSignal(Signal("-")));
    if (c.refusal != nullptr) {
      EXPECT_EQ(events_.Count("Error while saving signal to disk."), 51u);
      EXPECT_NE(events_.Events().at(0).details.find(c.refusal), std::string::npos);
    } else {
      EXPECT_EQ(log_.Lines().at(log_.Lines().size() - 3), "Cache directory recreated: " + cache);
    }
    c.mend_disk(cache);
    ASSERT_TRUE(buffer.AddSignal(Signal("C")));
    // Every file in the directory is a whole signal; the first signal's file,
    // gone with the directory, is written again.
    std::string on_disk;
    for (const std::string& name : posix_.ListDirectory(cache))
      on_disk += ParseSignalDocument(posix_.ReadFile(cache + name, 1 << 20)).HardwareNumber;
    std::sort(on_disk.begin(), on_disk.end());
    EXPECT_EQ(on_disk, c.on_disk);
    EXPECT_EQ(Drain(buffer), c.refusal != nullptr ? "AC" : "ABC");
    EXPECT_TRUE(posix_.ListDirectory(cache).empty());
  }
}

// A signal taken while the directory is gone may draw the name of a held one
// whose file went with it (names are the clock's ticks and a random byte, so
// a few hundred rounds at one fake instant meet that case): each keeps a file
// of its own.
TEST_F(SignalBufferTest, SignalTakenWhileTheDirectoryIsGoneNeverSharesAHeldSignalsFile) {
  auto buffer = Open(false);
  for (int round = 0; round < 600; ++round) {
    ASSERT_TRUE(buffer->AddSignal(Signal("A")));
    std::filesystem::remove_all(dir_.Path());
    ASSERT_TRUE(buffer->AddSignal(Signal("B")));
    ASSERT_EQ(FileCount(), 2u) << "round " << round;
    ASSERT_EQ(Drain(*buffer), "AB");
  }
}

// A read-only cache directory at start: what is stored is loaded and sent,
// new signals are refused with the buffer's event, and once the directory is
// writable again new signals are stored and the sent ones' files deleted.
// While deletions are refused, each removal tries its own file once, not
// every file kept before it.
TEST_F(SignalBufferTest, ReadOnlyCacheAtStartSendsWhatIsStoredAndRefusesNewSignals) {
  using Op = FaultFileSystem::Operation;
  posix_.WriteFile(dir_.Path() + "00000001.sig", SignalDocument(Signal("A", 100)), false);
  posix_.WriteFile(dir_.Path() + "00000002.sig", SignalDocument(Signal("B", 200)), false);
  std::atomic<bool> read_only{true};
  fs_.on_call = [&](Op op, const std::string&) {
    const bool changes = op != Op::kReadFile && op != Op::kListDirectory;
    return read_only && changes ? EROFS : 0;
  };
  auto buffer = Open();
  EXPECT_FALSE(buffer->AddSignal(Signal("N")));
  EXPECT_NE(events_.Events().at(0).details.find("Read-only file system"), std::string::npos);
  EXPECT_EQ(Drain(*buffer), "AB");  // acknowledged: not sent again in this run
  EXPECT_EQ(FileCount(), 2u);
  EXPECT_EQ(fs_.Calls(Op::kDeleteFile), 2);
  EXPECT_EQ(log_.Lines().back().rfind("Remove signal file exception: EOSError - ", 0), 0u);
  read_only = false;
  ASSERT_TRUE(buffer->AddSignal(Signal("C")));
  EXPECT_EQ(Drain(*buffer), "C");
  EXPECT_EQ(FileCount(), 0u);  // gone with C's: not sent again after a restart

  // A directory that cannot even be listed fails the start with its path.
  fs_.on_call = nullptr;
  fs_.FailNext(Op::kListDirectory, 1, EACCES);
  try {
    Open();
    ADD_FAILURE() << "started on an unlistable cache directory";
  } catch (const EOSError& error) {
    EXPECT_NE(std::string(error.what()).find(dir_.Path()), std::string::npos);
  }
}

TEST_F(SignalBufferTest, SignalBeingWrittenCountsAgainstTheCapacity) {
  for (int i = 0; i < 999; ++i)
    posix_.WriteFile(dir_.Path() + std::to_string(i) + ".sig", SignalDocument(Signal("x")), false);
  auto buffer = Open();
  // The writer stops at its directory flush, with its signal in flight,
  // until the other signal has been refused.
  std::promise<void> reached, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  fs_.on_call = [&](FaultFileSystem::Operation op, const std::string&) {
    if (op == FaultFileSystem::Operation::kSyncDirectory && first.exchange(false)) {
      reached.set_value();
      released.wait_for(std::chrono::milliseconds(kEventuallyMs));
    }
    return 0;
  };
  std::thread writer([&] { EXPECT_TRUE(buffer->AddSignal(Signal("last"))); });
  ASSERT_EQ(reached.get_future().wait_for(std::chrono::milliseconds(kEventuallyMs)),
            std::future_status::ready);
  EXPECT_FALSE(buffer->AddSignal(Signal("over")));  // 999 pending + 1 being written
  EXPECT_EQ(events_.Count("Event buffer size exceeded."), 1u);
  release.set_value();
  writer.join();
  EXPECT_EQ(buffer->PendingCount(), 1000u);
}

// Producers in parallel with flushing on; one step fails for one signal, or
// one directory flush for its batch. Every signal reported stored survives
// a power cut; the refused ones leave no file and are exactly the signal
// whose rename failed, or signals renamed before the failed directory flush.
TEST_F(SignalBufferTest, FailuresAmongConcurrentProducersRefuseOnlyTheirSignals) {
  using Op = FaultFileSystem::Operation;
  constexpr int kProducers = 8;
  constexpr int kEach = 10;
  for (const auto& [op, nth] :
       std::vector<std::pair<Op, int>>{{Op::kRename, 12}, {Op::kSyncDirectory, 3}}) {
    SCOPED_TRACE(static_cast<int>(op));
    ScopedTempDir dir;
    HostFileSystem posix;
    FaultFileSystem fs(posix);
    std::unique_ptr<TSignalBuffer> buffer =
        std::make_unique<TSignalBuffer>(fs, clock_, events_, log_, settings_, dir.Path(), true);
    std::mutex mutex;
    int calls = 0;                  // of op, as the hook sees them
    std::set<std::string> exposed;  // the signals the failing call can affect
    fs.on_call = [&](Op called, const std::string& path) {
      if (called == Op::kSyncDirectory && fs.Calls(called) == 0) {
        // Holds the first flush back until every producer has a signal in
        // flight, so that later batches gather several.
        EXPECT_TRUE(Eventually([&] { return buffer->InFlightCount() >= kProducers; }));
      }
      std::lock_guard<std::mutex> guard(mutex);
      if (called != op || ++calls != nth) return 0;
      if (op == Op::kRename) {
        exposed.insert(ParseSignalDocument(posix.ReadFile(path, 1 << 20)).HardwareNumber);
      } else {  // every signal renamed so far, flushed or not
        for (const std::string& name : posix.ListDirectory(dir.Path())) {
          if (!MatchesMask(name, "*.sig")) continue;
          exposed.insert(
              ParseSignalDocument(posix.ReadFile(dir.Path() + name, 1 << 20)).HardwareNumber);
        }
      }
      return EIO;
    };
    std::set<std::string> refused;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kEach; ++i) {
          const std::string number = std::to_string(p * 100 + i);
          if (!buffer->AddSignal(Signal(number))) {
            std::lock_guard<std::mutex> guard(mutex);
            refused.insert(number);
          }
        }
      });
    }
    for (std::thread& producer : producers) producer.join();
    ASSERT_FALSE(refused.empty());
    if (op == Op::kRename) {
      EXPECT_EQ(refused, exposed);
    }
    for (const std::string& number : refused) EXPECT_EQ(exposed.count(number), 1u) << number;
    const size_t stored = kProducers * kEach - refused.size();
    const TSignalBufferStats stats = buffer->Stats();
    // The directory holds no temporary files either.
    EXPECT_EQ(
        std::vector<uint64_t>({stats.Pending, stats.Ports.at(0).Added, stats.Ports.at(0).Refused,
                               stats.CacheWriteFailures, stats.OldestTimeIn.has_value(),
                               posix.ListDirectory(dir.Path()).size()}),
        std::vector<uint64_t>(
            {stored, stored, refused.size(), refused.size(), stored > 0, stored}));
    buffer.reset();
    fs.SimulatePowerCut();
    TSignalBuffer reloaded(fs, clock_, events_, log_, settings_, dir.Path(), true);
    EXPECT_EQ(reloaded.PendingCount(), stored);
  }
}

TEST_F(SignalBufferTest, OnlyBufferedSignalsWakeTheLinkAndAreVisibleByThen) {
  std::vector<size_t> pending_at_wake;
  std::unique_ptr<TSignalBuffer> buffer;
  // The callback reads the buffer: it would deadlock were it called under the lock.
  buffer =
      std::make_unique<TSignalBuffer>(fs_, clock_, events_, log_, settings_, dir_.Path(), true,
                                      [&] { pending_at_wake.push_back(buffer->PendingCount()); });
  ASSERT_TRUE(buffer->AddSignal(Signal("A")));
  fs_.FailNext(FaultFileSystem::Operation::kWriteFile);
  EXPECT_FALSE(buffer->AddSignal(Signal("B")));
  ASSERT_TRUE(buffer->AddSignal(Signal("C")));
  EXPECT_EQ(pending_at_wake, (std::vector<size_t>{1, 2}));
}

TEST_F(SignalBufferTest, ConcurrentProducersAndConsumerLoseAndRepeatNothing) {
  auto buffer = Open(false);
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 100; i < 150; ++i)
        EXPECT_TRUE(buffer->AddSignal(Signal(std::to_string(p * 1000 + i))));
    });
  }
  std::set<std::string> received;
  EXPECT_TRUE(Eventually([&] {
    for (std::string taken = Drain(*buffer, 1); !taken.empty(); taken = Drain(*buffer, 1))
      EXPECT_TRUE(received.insert(taken).second) << taken;
    return received.size() >= 150;
  }));
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(received.size(), 150u);
  EXPECT_EQ(FileCount(), 0u);
}

// A Kernel that refuses every signal is an outage like any other: the
// postponed signals fill the capacity, and their delivery makes room again.
TEST_F(SignalBufferTest, SignalsTheKernelRefusesCountAgainstTheCapacity) {
  settings_.SignalBufferCapacity = 50;
  auto buffer = Open(false);
  TSignal signal;
  TGuid id;
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(buffer->AddSignal(Signal("x")));
    ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
    ASSERT_TRUE(buffer->PostponeSignal(id, 15));
  }
  EXPECT_FALSE(buffer->AddSignal(Signal("over")));
  EXPECT_EQ(events_.Count("Event buffer size exceeded."), 1u);
  const TSignalBufferStats stats = buffer->Stats();
  EXPECT_EQ(std::make_tuple(stats.Pending, stats.Postponed, stats.Held(), stats.Ports[0].Refused),
            std::make_tuple(size_t{0}, size_t{50}, size_t{50}, uint64_t{1}));
  clock_.AdvanceSeconds(15);
  EXPECT_EQ(Drain(*buffer, 6).size(), 6u);
  EXPECT_EQ(events_.Count("Event buffer size normalized."), 1u);
}

// The cache directory removed while the driver runs: whichever buffer misses
// it first makes it again and takes the lock there; the files of every
// signal and event held are written again, and one event says so. A signal
// acknowledged while its file is written again does not come back.
TEST_F(SignalBufferTest, CacheDirectoryMadeAgainGetsTheFilesOfEverythingHeld) {
  using Op = FaultFileSystem::Operation;
  int relocks = 0;
  TCacheDirectory cache(fs_, log_, dir_.Path(), [&] { ++relocks; });
  TQuestionsBuffer questions(fs_, clock_, log_, {dir_.Path(), "d", "", true, {}, 100, &cache});
  TSignalBuffer buffer(fs_, clock_, questions, log_, settings_, dir_.Path(), true, {}, &cache);
  ASSERT_TRUE(buffer.AddSignal(Signal("A")));
  ASSERT_TRUE(buffer.AddSignal(Signal("B")));
  TSignal signal;
  TGuid id;
  ASSERT_TRUE(buffer.GetFirstSignal(signal, id) && buffer.PostponeSignal(id, 1000));
  ASSERT_TRUE(buffer.GetFirstSignal(signal, id));  // B, acknowledged during the rewrite
  ASSERT_TRUE(questions.AddSystemEvent("held", "", false));
  std::string b_file;
  for (const std::string& name : posix_.ListDirectory(dir_.Path())) {
    if (MatchesMask(name, "*.sig") &&
        ParseSignalDocument(posix_.ReadFile(dir_.Path() + name, 1 << 20)).HardwareNumber == "B")
      b_file = dir_.Path() + name;
  }
  fs_.on_call = [&](Op op, const std::string& path) {
    const bool acknowledge = op == Op::kWriteFile && path == TemporaryFileName(b_file);
    EXPECT_TRUE(!acknowledge || buffer.RemoveSignal(id));
    return 0;
  };
  // Who misses the directory first: the signal buffer storing a signal, or
  // the question buffer storing an event (the signal buffer follows at its
  // next call).
  for (const bool signal_first : {true, false}) {
    SCOPED_TRACE(signal_first);
    std::filesystem::remove_all(dir_.Path());
    if (signal_first) {
      ASSERT_TRUE(buffer.AddSignal(Signal("C")));
    } else {
      ASSERT_TRUE(questions.AddSystemEvent("next", "", false));
      buffer.CheckInactivity();
    }
    EXPECT_EQ(relocks, signal_first ? 1 : 2);
    std::string signals;
    size_t event_files = 0;
    for (const std::string& name : posix_.ListDirectory(dir_.Path())) {
      if (MatchesMask(name, "*.que")) ++event_files;
      if (MatchesMask(name, "*.sig"))
        signals += ParseSignalDocument(posix_.ReadFile(dir_.Path() + name, 1 << 20)).HardwareNumber;
    }
    std::sort(signals.begin(), signals.end());
    EXPECT_EQ(signals, "AC");
    size_t recreated = 0;
    for (const TQuestionItem& item : questions.Snapshot()) {
      EXPECT_TRUE(posix_.Stat(item.FileName).exists) << item.QuestionBody;
      recreated += item.QuestionBody.find("<Text>Cache directory recreated;") != std::string::npos;
    }
    EXPECT_EQ(event_files, questions.ItemCount());
    EXPECT_EQ(recreated, signal_first ? 1u : 2u);
  }
}

}  // namespace
}  // namespace vd
