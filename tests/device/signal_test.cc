#include "device/signal.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_clock.h"
#include "fakes/scoped_time_zone.h"
#include "service/driver_settings.h"

namespace vd {
namespace {

class SignalTest : public testing::Test {
 protected:
  ScopedTimeZone time_zone_{"Europe/Warsaw"};
  void SetUp() override {
    AddPort(7, "North gate");
    AddPort(3, "South gate");
  }
  void AddPort(int32_t number, const std::string& name) {
    PortEntry& entry = settings_.Ports.emplace_back();
    entry.PortNumber = number;
    entry.PortName = name;
  }

  // 2024-01-15 12:00:00 UTC is 13:00:00 in Warsaw, counted as if it were UTC.
  static constexpr int64_t kLocalNow = FakeClock::kDefaultUtcMs / 1000 + 3600;

  DriverSettings settings_;
  FakeClock clock_;
};

TEST_F(SignalTest, InitPortSignalOverwritesEveryFieldWithThePortDefaults) {
  TSignal signal;
  signal.HardwareNumber = "1234";
  signal.Code = "OLD";
  signal.Extension5 = "old";
  signal.Value = 9;
  signal.CanalType = "G";
  signal.SourceTimeValid = true;

  InitPortSignal(signal, 3, settings_, clock_);

  EXPECT_EQ(signal.TimeIn, kLocalNow);
  EXPECT_EQ(signal.TimeSource, kLocalNow);
  EXPECT_FALSE(signal.SourceTimeValid);
  EXPECT_EQ(signal.HardwareNumber, "");
  EXPECT_EQ(signal.DriverName, "VolterDirect Driver");
  EXPECT_EQ(signal.DriverPort, 3);
  EXPECT_EQ(signal.DriverPortName, "South gate");
  EXPECT_EQ(signal.SignalType, stExternal);
  EXPECT_EQ(signal.CanalType, "");
  EXPECT_TRUE(signal.Code.empty());
  EXPECT_TRUE(signal.Extension5.empty());
  EXPECT_EQ(signal.Value, 0);
}

TEST_F(SignalTest, UnknownPortNumberTakesTheFirstPortsName) {
  EXPECT_EQ(FindPortIndex(settings_, 42), 0u);
  TSignal signal;
  InitPortSignal(signal, 42, settings_, clock_);
  EXPECT_EQ(signal.DriverPort, 42);
  EXPECT_EQ(signal.DriverPortName, "North gate");
}

TEST_F(SignalTest, NoConfiguredPortLeavesTheNameEmpty) {
  settings_.Ports.clear();
  TSignal signal;
  InitPortSignal(signal, 1, settings_, clock_);
  EXPECT_EQ(signal.DriverPort, 1);
  EXPECT_EQ(signal.DriverPortName, "");
}

TEST_F(SignalTest, FindPortIndexTakesTheFirstMatchingEntry) {
  AddPort(3, "Duplicate");
  EXPECT_EQ(FindPortIndex(settings_, 3), 1u);
  EXPECT_EQ(FindPortIndex(settings_, 7), 0u);
}

TEST(SignalTextTest, SplitToExtensionsCutsHundredByteSlices) {
  std::string text;
  for (int i = 0; i < 620; ++i) text += static_cast<char>('a' + i / 100);

  TSignal signal;
  SplitToExtensions(text.substr(0, 250), signal);
  EXPECT_EQ(signal.Extension1.str(), std::string(100, 'a'));
  EXPECT_EQ(signal.Extension2.str(), std::string(100, 'b'));
  EXPECT_EQ(signal.Extension3.str(), std::string(50, 'c'));
  EXPECT_TRUE(signal.Extension4.empty());
  EXPECT_TRUE(signal.Extension5.empty());

  SplitToExtensions(text, signal);
  EXPECT_EQ(signal.Extension3.str(), std::string(100, 'c'));
  EXPECT_EQ(signal.Extension4.str(), std::string(100, 'd'));
  EXPECT_EQ(signal.Extension5.str(), std::string(100, 'e'));

  SplitToExtensions("", signal);
  EXPECT_TRUE(signal.Extension1.empty());
  EXPECT_TRUE(signal.Extension5.empty());
}

TEST(SignalTextTest, BytesToHexWritesEveryByteAsTwoUpperCaseDigits) {
  EXPECT_EQ(BytesToHex(std::string("AB\r", 3)), "41420D");
  EXPECT_EQ(BytesToHex(std::string("\0\xff\x7f", 3)), "00FF7F");
  EXPECT_EQ(BytesToHex(""), "");
}

TEST(SignalTextTest, CodeKeepsItsFirstTwentyBytes) {
  TSignal signal;
  signal.Code = std::string("ABCDEFGHIJKLMNOPQRSTUVWXY");
  EXPECT_EQ(signal.Code.str(), "ABCDEFGHIJKLMNOPQRST");
}

TEST(SignalTextTest, SignalTypeNameNamesKnownTypesAndNumbersTheRest) {
  EXPECT_EQ(SignalTypeName(stUnknown), "stUnknown");
  EXPECT_EQ(SignalTypeName(stAccessControl), "stAccessControl");
  EXPECT_EQ(SignalTypeName(kTestSignalType), "11");
  EXPECT_EQ(SignalTypeName(static_cast<TSignalType>(255)), "255");
}

}  // namespace
}  // namespace vd
