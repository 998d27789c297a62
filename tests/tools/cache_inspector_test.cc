#include "cache_inspector.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "buffers/questions_buffer.h"
#include "buffers/signal_xml.h"
#include "fakes/fake_clock.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/cache_lock.h"
#include "platform/host_file_system.h"

namespace vd {
namespace {

// A cache as a driver leaves it: one pending signal, one event, and two
// files set aside (a signal without its Code, a question without Direction).
class CacheInspectorTest : public testing::Test {
 protected:
  CacheInspectorTest() {
    TQuestionsBuffer(fs_, clock_, log_, TQuestionsBuffer::Options{dir_.Path(), "D", "", false})
        .AddSystemEvent("Port TCP4001 opened.", "", false);
    Write("00000001.sig", SignalDocument(Signal()));
    std::string broken = SignalDocument(Signal());
    broken.erase(broken.find("<Code>"), broken.find("</Code>") + 7 - broken.find("<Code>"));
    Write("00000002.sig.error", broken);
    Write("00000003.que.error", "<?xml version=\"1.0\"?><Data><FrameType>9</FrameType></Data>");
  }

  TSignal Signal() const {
    TSignal signal;
    signal.TimeIn = clock_.UtcNowMs() / 1000 - 125;
    signal.TimeSource = signal.TimeIn;
    signal.HardwareNumber = "ABCD1234";
    signal.Code = "E2ET";
    signal.DriverPort = 1;
    signal.DriverPortName = "North";
    return signal;
  }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_.Path() + name, std::ios::binary) << text;
  }
  // The command's exit code; its output in out_ and err_.
  int Run(int (TCacheInspector::*command)(std::ostream&, std::ostream&)) {
    out_.str("");
    err_.str("");
    return (inspector_.*command)(out_, err_);
  }
  int Requeue(const std::string& name) {
    out_.str("");
    err_.str("");
    return inspector_.Requeue(name, out_, err_);
  }
  bool Has(const std::string& text) const { return out_.str().find(text) != std::string::npos; }

  ScopedTempDir dir_;
  FakeClock clock_;
  HostFileSystem fs_;
  RecordingLogWriter log_;
  TCacheInspector inspector_{fs_, clock_, dir_.Path()};
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(CacheInspectorTest, ListErrorsAndStatsJudgeEachFileAsTheDriverDoes) {
  ASSERT_EQ(Run(&TCacheInspector::List), 0) << err_.str();
  EXPECT_TRUE(
      Has("Pending signals: 1\n  00000001.sig  age 2m05s  HN \"ABCD1234\"  Code \"E2ET\"  "
          "port 1 \"North\"\n"))
      << out_.str();
  EXPECT_TRUE(Has("Events and questions: 1\n")) << out_.str();
  EXPECT_TRUE(Has("event \"Port TCP4001 opened.\"")) << out_.str();

  ASSERT_EQ(Run(&TCacheInspector::Errors), 0);
  EXPECT_TRUE(Has("Files set aside: 2\n")) << out_.str();
  EXPECT_TRUE(Has("00000002.sig.error  EXMLDocError")) << out_.str();
  EXPECT_TRUE(Has("00000003.que.error  EXMLDocError")) << out_.str();

  ASSERT_EQ(Run(&TCacheInspector::Stats), 0);
  for (const char* line :
       {"Signals pending: 1 (", "Events and questions: 1 (", "Files set aside (.error): 2 (",
        "Oldest pending signal: 2m05s\n", "Driver: not running on this cache\n"}) {
    EXPECT_TRUE(Has(line)) << line << "\n" << out_.str();
  }
}

TEST_F(CacheInspectorTest, ListGoesByTheTimeInTheFilesNotByTheirNamesWhichWrap) {
  // A minute later a signal and an event under names that sort first.
  clock_.AdvanceSeconds(60);
  TSignal later = Signal();
  later.HardwareNumber = "LATER";
  Write("00000000.sig", SignalDocument(later));
  for (const std::string& name : fs_.ListDirectory(dir_.Path())) {
    if (name.ends_with(".que")) fs_.Rename(dir_.Path() + name, dir_.Path() + "z.que", false);
  }
  TQuestionsBuffer(fs_, clock_, log_, TQuestionsBuffer::Options{dir_.Path(), "D", "", false})
      .AddSystemEvent("Later.", "", false);
  ASSERT_EQ(Run(&TCacheInspector::List), 0) << err_.str();
  EXPECT_TRUE(
      Has("  00000001.sig  age 3m05s  HN \"ABCD1234\"  Code \"E2ET\"  port 1 \"North\"\n"
          "  00000000.sig  age 2m05s  HN \"LATER\""))
      << out_.str();
  EXPECT_TRUE(Has("  z.que  age 1m00s  event \"Port TCP4001 opened.\"\n  ")) << out_.str();
  EXPECT_TRUE(out_.str().ends_with("  age 0s  event \"Later.\"\n")) << out_.str();
}

TEST_F(CacheInspectorTest, RequeueTakesBackOnlyARepairedFileAndNeverUnderARunningDriver) {
  EXPECT_EQ(Requeue("00000002.sig.error"), 1);
  EXPECT_NE(err_.str().find("still cannot be read: EXMLDocError"), std::string::npos) << err_.str();
  EXPECT_EQ(Requeue("00000001.sig"), 1);  // not a file set aside

  Write("00000002.sig.error", SignalDocument(Signal()));
  {
    const TCacheLock driver(dir_.Path());
    EXPECT_EQ(Requeue("00000002.sig.error"), 1);
    EXPECT_NE(err_.str().find("is in use by another process"), std::string::npos) << err_.str();
  }
  EXPECT_TRUE(fs_.Stat(dir_.Path() + "00000002.sig.error").exists);

  EXPECT_EQ(Requeue(dir_.Path() + "00000002.sig.error"), 0) << err_.str();
  EXPECT_FALSE(fs_.Stat(dir_.Path() + "00000002.sig.error").exists);
  EXPECT_EQ(ParseSignalDocument(fs_.ReadFile(dir_.Path() + "00000002.sig", 1 << 20)), Signal());
}

}  // namespace
}  // namespace vd
