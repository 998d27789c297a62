#include "soak_ledger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "buffers/signal_buffer.h"
#include "buffers/signal_xml.h"
#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"

namespace vd {
namespace {

class SoakLedgerTest : public testing::Test {
 protected:
  static TSignal Signal(const std::string& id) {
    TSignal signal;
    signal.HardwareNumber = "1234";
    signal.Code = "SOAK";
    signal.Extension1 = id;
    signal.DriverPort = 1;
    signal.TimeIn = 1765000000;
    signal.TimeSource = 1765000000;
    return signal;
  }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_.Path() + "cache/" + name, std::ios::binary) << text;
  }

  ScopedTempDir dir_;
};

TEST_F(SoakLedgerTest, RecognisesTheStoredSignalLineTheBufferWrites) {
  HostFileSystem fs;
  FakeClock clock;
  RecordingEventSink events;
  RecordingLogWriter log;
  DriverSettings settings;
  settings.Ports.resize(1);
  TSignalBuffer buffer(fs, clock, events, log, settings, dir_.Path() + "cache", false);
  ASSERT_TRUE(buffer.AddSignal(Signal("soak-41")));
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(AddedSignalId("06.12.2026 Nd 18:52:55.019 | " + log.Lines()[0]), "soak-41");
}

TEST_F(SoakLedgerTest, OnlyCompleteStoredLinesAndSignalLinesCount) {
  struct Case {
    const char* line;
    std::optional<std::string> added;
    std::optional<std::string> delivered;
  };
  const Case cases[] = {
      {"t | New signal added: HN: 1234 Code: SOAK Ext1: soak-7 Ext2:  Ext3: CD", "soak-7", {}},
      {"t | New signal NOT added: HN: 1234 Code: SOAK Ext1: soak-8 Ext2:  Ext3: CD", {}, {}},
      // A kill in the middle of the line: the identifier may be cut short.
      {"t | New signal added: HN: 1234 Code: SOAK Ext1: soak-1", {}, {}},
      {"t | (ID 1) read (37): [ABCD1234SOAK2026120618525500|soak-3]", {}, {}},
      {R"({"kind":"signal","frame_guid":"{1}","installation":7,"answer":2,"fields":{"Code":"SOAK","Extension1":"soak-9","Extension2":""}})",
       {},
       "soak-9"},
      {R"({"kind":"event","frame_guid":"{2}","answer":2,"fields":{"Extension1":"soak-9"}})",
       {},
       {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AddedSignalId(c.line), c.added) << c.line;
    EXPECT_EQ(DeliveredSignalId(c.line), c.delivered) << c.line;
  }
}

TEST_F(SoakLedgerTest, CountsLostAndDuplicatedSignals) {
  TSoakLedger ledger;
  ledger.AddLogText(
      "t | New signal added: HN: 1 Code: SOAK Ext1: a Ext2: \r\n"
      "t | New signal added: HN: 1 Code: SOAK Ext1: b Ext2: \r\n"
      "t | New signal added: HN: 1 Code: SOAK Ext1: c Ext2: \r\n"
      "t | New signal added: HN: 1 Code: SOAK Ext1: d");
  // b first reaches a Kernel that does not answer and is sent again.
  for (const auto& [id, answer] :
       {std::pair{"a", 2}, {"a", 2}, {"a", 2}, {"b", 0}, {"b", 2}, {"x", 2}}) {
    ledger.AddSimulatorLine(R"({"kind":"signal","answer":)" + std::to_string(answer) +
                            R"(,"fields":{"Extension1":")" + id + R"("}})");
  }
  EXPECT_EQ(std::make_tuple(ledger.AddedCount(), ledger.DeliveredCount(), ledger.DuplicateFrames()),
            std::make_tuple(3u, 3u, 2u));
  // Delivered without a log line (killed before it was written) is no loss.
  EXPECT_EQ(ledger.Lost(), std::vector<std::string>{"c"});

  TSoakFigures figures;
  figures.Lost = ledger.Lost().size();
  EXPECT_FALSE(SoakPassed(figures));
  EXPECT_NE(SoakSummaryJson(figures).find("\"lost\":1,"), std::string::npos);
  figures.Lost = 0;
  EXPECT_TRUE(SoakPassed(figures));
  figures.Hangs = 1;
  EXPECT_FALSE(SoakPassed(figures));
}

TEST_F(SoakLedgerTest, FindsUnreadableCacheFilesWithoutTouchingTheCache) {
  std::filesystem::create_directories(dir_.Path() + "cache");
  Write("00000001.sig", SignalDocument(Signal("good")));
  Write("00000002.sig", "<Signal><Signal><TimeIn>");
  Write("00000003.que", "not a question");
  Write("00000004.sig.tmp", "half written");

  const std::vector<std::string> unreadable =
      UnreadableCacheFiles(dir_.Path() + "cache/", dir_.Path() + "scratch/");
  EXPECT_EQ(unreadable, (std::vector<std::string>{"00000002.sig", "00000003.que"}));
  EXPECT_TRUE(LeftoverFiles(dir_.Path() + "cache", ".error").empty());
  EXPECT_EQ(LeftoverFiles(dir_.Path() + "cache", ".tmp"),
            std::vector<std::string>{"00000004.sig.tmp"});
}

}  // namespace
}  // namespace vd
