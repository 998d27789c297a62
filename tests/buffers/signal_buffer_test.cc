#include "buffers/signal_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "buffers/signal_xml.h"
#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "fakes/scoped_time_zone.h"
#include "platform/posix_file_system.h"
#include "service/driver_settings.h"
#include "support/file_utils.h"
#include "support/time_utils.h"

namespace vd {
namespace {

constexpr char kReadError[] = "Błąd odczytu sygnału z dysku!";
constexpr char kExceeded[] = "Event buffer size exceeded.";
constexpr char kNormalized[] = "Event buffer size normalized.";
constexpr char kLimitOnPort1[] = "Limit of received signals per minute reached (3) on port 1 .";

int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
  return CivilToUnixSeconds(EncodeDateTime(year, month, day, hour, minute, second, 0));
}

class SignalBufferTest : public testing::Test {
 protected:
  SignalBufferTest() : fs_(posix_), cache_(dir_.Path() + "Temp/Cache/") {
    settings_.Ports.resize(2);
    settings_.Ports[0].PortNumber = 1;
    settings_.Ports[0].PortName = "North";
    settings_.Ports[0].MaxReceiveSignals = 3;
    settings_.Ports[0].InactivityMessageTimeout = 60;
    settings_.Ports[1].PortNumber = 2;
    settings_.Ports[1].PortName = "South";
  }

  std::unique_ptr<TSignalBuffer> Open(bool flush_writes = true) {
    return std::make_unique<TSignalBuffer>(fs_, clock_, events_, log_, settings_, cache_,
                                           flush_writes);
  }

  TSignal Signal(const std::string& hardware_number, int32_t port = 1) {
    TSignal signal;
    InitPortSignal(signal, port, settings_, clock_);
    signal.HardwareNumber = hardware_number;
    signal.CanalType = "G";
    signal.Code = "E130";
    return signal;
  }

  // A signal file as a previous run left it (times already UTC).
  void PutFile(const std::string& name, int64_t time_in, const std::string& hn = "0001") {
    TSignal signal = Signal(hn);
    signal.TimeIn = time_in;
    posix_.CreateDirectories(cache_);
    posix_.WriteFile(cache_ + name, SignalDocument(signal), false);
  }

  std::vector<std::string> Files(const std::string& mask) {
    std::vector<std::string> names;
    for (const std::string& name : posix_.ListDirectory(cache_)) {
      if (MatchesMask(name, mask)) names.push_back(name);
    }
    return names;
  }

  // Takes every pending signal out, oldest first.
  std::vector<TSignal> Drain(TSignalBuffer& buffer) {
    std::vector<TSignal> taken;
    TSignal signal;
    TGuid id;
    while (taken.size() < 5000 && buffer.GetFirstSignal(signal, id)) {
      EXPECT_TRUE(buffer.RemoveSignal(id));
      taken.push_back(signal);
    }
    return taken;
  }

  ScopedTimeZone zone_{"Europe/Warsaw"};
  ScopedTempDir dir_;
  PosixFileSystem posix_;
  FaultFileSystem fs_;
  FakeClock clock_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  DriverSettings settings_;
  std::string cache_;
};

TEST_F(SignalBufferTest, MissingCacheDirectoryIsCreatedAndBufferStartsEmpty) {
  auto buffer = Open();
  EXPECT_TRUE(posix_.Stat(cache_).is_directory);
  TSignal signal;
  TGuid id;
  EXPECT_FALSE(buffer->GetFirstSignal(signal, id));
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(SignalBufferTest, StartLoadsFilesOldestFirstAndSetsAsideUnreadableOnes) {
  PutFile("00000001.sig", 300, "C");
  PutFile("00000002.sig", 100, "A");
  PutFile("00000003.SIG", 200, "B");
  PutFile("00000004.txt", 50, "not a signal file");
  posix_.WriteFile(cache_ + "00000005.sig", "<Signal><Signal><TimeIn>1x</TimeIn>", false);
  std::string no_value = SignalDocument(Signal("D"));
  const size_t value = no_value.find("<Value>");
  no_value.erase(value, no_value.find("</Value>") + 8 - value);
  posix_.WriteFile(cache_ + "00000006.sig", no_value, false);

  auto buffer = Open();
  std::vector<std::string> order;
  for (const TSignal& signal : Drain(*buffer)) order.push_back(signal.HardwareNumber);
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C"}));

  EXPECT_EQ(events_.Count(kReadError), 2u);
  for (const RecordedEvent& event : events_.Events()) {
    EXPECT_TRUE(event.is_error);
    EXPECT_NE(event.details.find("EXMLDocError"), std::string::npos) << event.details;
  }
  EXPECT_EQ(Files("*.error").size(), 2u);
  EXPECT_EQ(Files("*.txt").size(), 1u);
}

TEST_F(SignalBufferTest, AddedSignalIsStoredInUtcAndLoggedInLocalTime) {
  TSignal signal = Signal("1234");
  signal.TimeIn = LocalSeconds(2024, 3, 5, 14, 7, 31);
  signal.TimeSource = LocalSeconds(2024, 3, 5, 0, 0, 0);
  signal.Extension1 = "a";
  signal.Value = 2.5;
  auto buffer = Open();
  ASSERT_TRUE(buffer->AddSignal(signal));

  EXPECT_EQ(log_.Lines().back(),
            "New signal added: HN: 1234 Code: E130 Ext1: a Ext2:  Ext3:  Ext4:  Ext5:  "
            "Value: 2.5 Driver port: 1 Driver port name: North Canal slot:  Canal type: G "
            "Signal type: stExternal Source time: 2024-03-05 Reception time: 2024-03-05 14:07:31");
  TSignal first;
  TGuid id;
  ASSERT_TRUE(buffer->GetFirstSignal(first, id));
  EXPECT_EQ(first.TimeIn, signal.TimeIn - 3600);  // CET in March
  EXPECT_EQ(first.TimeSource, signal.TimeSource - 3600);

  const std::vector<std::string> files = Files("*.sig");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ParseSignalDocument(posix_.ReadFile(cache_ + files[0], 4096)), first);
}

TEST_F(SignalBufferTest, ControlCharactersAreEscapedInFileAndLog) {
  auto buffer = Open();
  TSignal signal = Signal("12\r4");
  signal.Code = std::string(18, 'c') + "\x01";
  ASSERT_TRUE(buffer->AddSignal(signal));

  TSignal stored;
  TGuid id;
  ASSERT_TRUE(buffer->GetFirstSignal(stored, id));
  EXPECT_EQ(stored.HardwareNumber, "12[0D]4");
  EXPECT_EQ(stored.Code, std::string(18, 'c') + "[0");  // cut to 20 after escaping
  EXPECT_NE(log_.Lines().back().find(" HN: 12[0D]4 Code: "), std::string::npos);
  const std::string file = posix_.ReadFile(cache_ + Files("*.sig").at(0), 4096);
  EXPECT_NE(file.find("<HardwareNumber>12[0D]4</HardwareNumber>"), std::string::npos);
}

TEST_F(SignalBufferTest, PerMinuteLimitIsReportedOncePerWindowAndOnlyReports) {
  auto buffer = Open();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(buffer->AddSignal(Signal("000" + std::to_string(i))));
    EXPECT_EQ(events_.Count(kLimitOnPort1), i >= 2 ? 1u : 0u) << "signal " << i;
    clock_.AdvanceSeconds(10);
  }
  clock_.AdvanceSeconds(21);  // 61 s after the first: a new window
  EXPECT_TRUE(buffer->AddSignal(Signal("0004")));
  EXPECT_TRUE(buffer->AddSignal(Signal("0005")));
  EXPECT_EQ(events_.Count(kLimitOnPort1), 1u);
  EXPECT_TRUE(buffer->AddSignal(Signal("0006")));
  EXPECT_EQ(events_.Count(kLimitOnPort1), 2u);
  EXPECT_TRUE(events_.Events().front().is_error);
  EXPECT_EQ(buffer->PendingCount(), 7u);
}

TEST_F(SignalBufferTest, SignalOfUnknownPortIsBufferedWithoutPortAccounting) {
  auto buffer = Open();
  for (int32_t port : {0, 3, -1, INT_MIN, INT_MAX}) {
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(buffer->AddSignal(Signal("0001", port)));
  }
  clock_.AdvanceSeconds(61);
  buffer->CheckInactivity();
  // No limit event, and none of them restarted port 1's silent period.
  ASSERT_EQ(events_.Events().size(), 1u);
  EXPECT_EQ(events_.Events()[0].text,
            "No received events on port 1 during given period (60 sec.).");
  EXPECT_EQ(buffer->PendingCount(), 15u);
}

TEST_F(SignalBufferTest, InactivityIsReportedOncePerFullPeriod) {
  auto buffer = Open();
  const std::string report = "No received events on port 1 during given period (60 sec.).";
  clock_.AdvanceSeconds(60);
  buffer->CheckInactivity();
  EXPECT_EQ(events_.Count(report), 0u);
  clock_.AdvanceSeconds(1);
  buffer->CheckInactivity();
  EXPECT_EQ(events_.Count(report), 1u);
  clock_.AdvanceSeconds(60);
  buffer->CheckInactivity();
  EXPECT_EQ(events_.Count(report), 1u);
  clock_.AdvanceSeconds(1);
  buffer->CheckInactivity();
  EXPECT_EQ(events_.Count(report), 2u);

  clock_.AdvanceSeconds(50);
  ASSERT_TRUE(buffer->AddSignal(Signal("0001")));  // restarts the period
  clock_.AdvanceSeconds(50);
  buffer->CheckInactivity();
  EXPECT_EQ(events_.Count(report), 2u);
  EXPECT_EQ(events_.Events().size(), 2u);  // port 2 (timeout 0) never reports
}

TEST_F(SignalBufferTest, FullBufferRefusesAndReportsUntilBackBelowNormalLevel) {
  auto buffer = Open(false);
  for (int i = 0; i < 1000; ++i) {
    clock_.Advance(1);  // file names draw on the millisecond count
    ASSERT_TRUE(buffer->AddSignal(Signal("0001", 2))) << i;
  }
  EXPECT_FALSE(buffer->AddSignal(Signal("1001", 2)));
  EXPECT_FALSE(buffer->AddSignal(Signal("1002", 2)));
  EXPECT_EQ(events_.Count(kExceeded), 1u);
  EXPECT_TRUE(events_.Events().back().is_error);
  EXPECT_EQ(log_.Lines().back().rfind("New signal NOT added: HN: 1002 ", 0), 0u);
  EXPECT_EQ(Files("*.sig").size(), 1000u);

  TSignal signal;
  TGuid id;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
    ASSERT_TRUE(buffer->RemoveSignal(id));
  }
  EXPECT_EQ(events_.Count(kNormalized), 0u);  // 900 left
  ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
  ASSERT_TRUE(buffer->RemoveSignal(id));
  EXPECT_EQ(events_.Count(kNormalized), 1u);
  EXPECT_FALSE(events_.Events().back().is_error);
  EXPECT_EQ(Files("*.sig").size(), 899u);
}

TEST_F(SignalBufferTest, AllFilesLoadBeyondCapacityAndRefusalsReportOnlyAtCapacity) {
  for (int i = 0; i < 1200; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X.sig", static_cast<unsigned>(i));
    PutFile(name, 1000 + i);
  }
  auto buffer = Open(false);
  EXPECT_EQ(buffer->PendingCount(), 1200u);
  EXPECT_FALSE(buffer->AddSignal(Signal("0001")));
  EXPECT_EQ(events_.Count(kExceeded), 0u);

  TSignal signal;
  TGuid id;
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
    ASSERT_EQ(signal.TimeIn, 1000 + i);  // oldest first
    ASSERT_TRUE(buffer->RemoveSignal(id));
  }
  EXPECT_FALSE(buffer->AddSignal(Signal("0002")));
  EXPECT_EQ(events_.Count(kExceeded), 1u);
}

TEST_F(SignalBufferTest, PostponedSignalReturnsAfterDelayBehindNewerOnes) {
  auto buffer = Open();
  ASSERT_TRUE(buffer->AddSignal(Signal("A")));
  ASSERT_TRUE(buffer->AddSignal(Signal("B")));
  TSignal signal;
  TGuid a;
  TGuid b;
  ASSERT_TRUE(buffer->GetFirstSignal(signal, a));
  ASSERT_TRUE(buffer->GetFirstSignal(signal, a));  // stays first until taken away
  EXPECT_EQ(signal.HardwareNumber, "A");
  EXPECT_TRUE(buffer->PostponeSignal(a, 15));
  EXPECT_FALSE(buffer->PostponeSignal(a, 15));
  EXPECT_FALSE(buffer->RemoveSignal(a));  // postponed: not acknowledgeable

  clock_.AdvanceSeconds(14);
  ASSERT_TRUE(buffer->GetFirstSignal(signal, b));
  EXPECT_EQ(signal.HardwareNumber, "B");
  ASSERT_TRUE(buffer->AddSignal(Signal("C")));
  clock_.AdvanceSeconds(1);
  std::vector<std::string> order;
  for (const TSignal& taken : Drain(*buffer)) order.push_back(taken.HardwareNumber);
  EXPECT_EQ(order, (std::vector<std::string>{"B", "C", "A"}));
  EXPECT_TRUE(Files("*.sig").empty());
  EXPECT_FALSE(buffer->RemoveSignal(NewGuid()));
}

TEST_F(SignalBufferTest, OldSignalsAreCountedByTheirReceptionTime) {
  auto buffer = Open();
  ASSERT_TRUE(buffer->AddSignal(Signal("0001")));  // received now
  int32_t old_count = -1;
  int32_t total = -1;
  clock_.AdvanceSeconds(300);
  EXPECT_FALSE(buffer->CountOldSignals(old_count, total));
  EXPECT_EQ(old_count, 0);
  clock_.AdvanceSeconds(1);
  ASSERT_TRUE(buffer->AddSignal(Signal("0002")));
  EXPECT_TRUE(buffer->CountOldSignals(old_count, total));
  EXPECT_EQ(old_count, 1);
  EXPECT_EQ(total, 2);
}

TEST_F(SignalBufferTest, FailedWriteRefusesTheSignalAndLeavesNoFile) {
  auto buffer = Open();
  fs_.fail_write = true;
  EXPECT_FALSE(buffer->AddSignal(Signal("0001")));
  fs_.fail_write = false;
  // The write went through but its directory entry could not be made durable.
  fs_.FailNext(FaultFileSystem::Operation::kSyncDirectory);
  EXPECT_FALSE(buffer->AddSignal(Signal("0002")));

  EXPECT_EQ(events_.Count("Error while saving signal to disk."), 2u);
  EXPECT_NE(events_.Events()[0].details.find("EOSError"), std::string::npos);
  const std::vector<std::string> lines = log_.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("Save signal to file exception: EOSError - ", 0), 0u);
  EXPECT_EQ(lines[1].rfind("New signal NOT added: HN: 0001 ", 0), 0u);
  EXPECT_EQ(buffer->PendingCount(), 0u);
  EXPECT_TRUE(posix_.ListDirectory(cache_).empty());
}

TEST_F(SignalBufferTest, AcceptedSignalSurvivesPowerCut) {
  {
    auto buffer = Open();
    ASSERT_TRUE(buffer->AddSignal(Signal("0001")));
  }
  fs_.SimulatePowerCut();
  auto restarted = Open();
  TSignal signal;
  TGuid id;
  ASSERT_TRUE(restarted->GetFirstSignal(signal, id));
  EXPECT_EQ(signal.HardwareNumber, "0001");
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(SignalBufferTest, UnfinishedWritesAreRemovedAtStart) {
  posix_.CreateDirectories(cache_);
  const std::string unfinished = TemporaryFileName(cache_ + "0A1B2C3D.sig");
  posix_.WriteFile(unfinished, "<?xml version=\"1.0\"?><Signal><Sig", false);
  PutFile("0A1B2C3E.sig", 100);

  auto buffer = Open();
  EXPECT_EQ(buffer->PendingCount(), 1u);
  EXPECT_FALSE(posix_.Stat(unfinished).exists);
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Removed unfinished cache file: " + unfinished});
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(SignalBufferTest, AcknowledgedSignalLeavesMemoryEvenWhenItsFileStays) {
  auto buffer = Open();
  ASSERT_TRUE(buffer->AddSignal(Signal("A")));
  ASSERT_TRUE(buffer->AddSignal(Signal("B")));
  ASSERT_TRUE(buffer->AddSignal(Signal("C")));
  TSignal signal;
  TGuid id;
  ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
  fs_.fail_delete = true;
  EXPECT_TRUE(buffer->RemoveSignal(id));
  EXPECT_FALSE(buffer->RemoveSignal(id));
  EXPECT_EQ(Files("*.sig").size(), 3u);
  EXPECT_EQ(log_.Lines().back().rfind("Remove signal file exception: EOSError", 0), 0u);

  fs_.fail_delete = false;
  ASSERT_TRUE(buffer->GetFirstSignal(signal, id));
  EXPECT_EQ(signal.HardwareNumber, "B");
  EXPECT_TRUE(buffer->RemoveSignal(id));  // also retries the earlier file
  EXPECT_EQ(Files("*.sig").size(), 1u);
}

TEST_F(SignalBufferTest, ConcurrentProducersAndConsumerLoseAndRepeatNothing) {
  constexpr size_t kProducers = 3;
  constexpr size_t kPerProducer = 60;
  auto buffer = Open(false);
  std::vector<std::thread> producers;
  producers.reserve(kProducers);
  for (size_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (size_t i = 0; i < kPerProducer; ++i) {
        clock_.Advance(1);
        EXPECT_TRUE(buffer->AddSignal(
            Signal(std::to_string(p * 1000 + i), static_cast<int32_t>(1 + p % 2))));
      }
    });
  }
  std::multiset<std::string> received;
  std::thread consumer([&] {
    TSignal signal;
    TGuid id;
    for (int round = 0; round < 1000000 && received.size() < kProducers * kPerProducer; ++round) {
      if (!buffer->GetFirstSignal(signal, id)) {
        std::this_thread::yield();
        continue;
      }
      if (round % 7 == 0) {
        EXPECT_TRUE(buffer->PostponeSignal(id, -1));  // due again at once
      } else if (buffer->RemoveSignal(id)) {
        received.insert(signal.HardwareNumber);
      }
    }
  });
  for (std::thread& producer : producers) producer.join();
  consumer.join();

  ASSERT_EQ(received.size(), kProducers * kPerProducer);
  EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), received.size());
  EXPECT_EQ(buffer->PendingCount() + buffer->PostponedCount(), 0u);
  EXPECT_TRUE(Files("*.sig").empty());
}

}  // namespace
}  // namespace vd
