#include "device/signal.h"

#include <gtest/gtest.h>

#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/scoped_time_zone.h"

namespace vd {
namespace {

TEST(SignalTest, TextsKeepTheirLayoutsAndInitPortSignalResetsEveryField) {
  std::string text;
  for (int i = 0; i < 620; ++i) text += static_cast<char>('a' + i / 100);
  TSignal signal;
  SplitToExtensions(text, signal);
  EXPECT_EQ(signal.Extension5.str(), std::string(100, 'e'));
  SplitToExtensions(text.substr(0, 250), signal);
  EXPECT_EQ(signal.Extension3.str(), std::string(50, 'c'));
  EXPECT_TRUE(signal.Extension4.empty() && signal.Extension5.empty());
  EXPECT_EQ(decltype(TSignal::Code)("ABCDEFGHIJKLMNOPQRSTUVWXY"), "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(SignalTypeName(kTestSignalType), "11");

  ScopedTimeZone time_zone("Europe/Warsaw");
  FakeClock clock;
  DriverSettings settings;
  settings.Ports.resize(2);
  settings.Ports[0].PortName = "North gate";
  settings.Ports[1].PortNumber = 3;
  settings.Ports[1].PortName =
      "Brama \xC5\x81\xC3\xB3"
      "d\xC5\xBA";  // UTF-8, as configured
  InitPortSignal(signal, 3, settings, clock);
  TSignal expected;
  // 2024-01-15 12:00:00 UTC is 13:00:00 in Warsaw, counted as if it were UTC.
  expected.TimeIn = expected.TimeSource = FakeClock::kDefaultUtcMs / 1000 + 3600;
  expected.DriverName = "VolterDirect Driver";
  expected.DriverPort = 3;
  // Signal texts hold Windows-1250 bytes.
  expected.DriverPortName =
      "Brama \xA3\xF3"
      "d\x9F";
  expected.SignalType = stExternal;
  EXPECT_EQ(signal, expected);
  // A port number without an entry takes the first entry's name.
  InitPortSignal(signal, 42, settings, clock);
  EXPECT_EQ(signal.DriverPortName, "North gate");
}

}  // namespace
}  // namespace vd
