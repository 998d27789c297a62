#include "support/time_utils.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_time_setter.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_time_zone.h"
#include "support/errors.h"

namespace vd {
namespace {

CivilTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return EncodeDateTime(year, month, day, hour, minute, second, ms);
}

TEST(CivilTimeTest, ZeroDateTimeKnownInstantsRoundingAndImpossibleDates) {
  EXPECT_EQ(DateTimeToUnixSeconds(CivilTime{}), -2209161600);
  EXPECT_EQ(UnixSecondsToCivil(-2209161600), CivilTime{});
  EXPECT_EQ(UnixSecondsToCivil(-62135596800), At(1, 1, 1, 0, 0, 0));
  EXPECT_EQ(UnixSecondsToCivil(253402300799), At(9999, 12, 31, 23, 59, 59));
  EXPECT_EQ(UnixMsToCivil(253402300799999), At(9999, 12, 31, 23, 59, 59, 999));
  for (const int64_t beyond : {int64_t{-62135596801}, int64_t{253402300800}, INT64_MIN, INT64_MAX})
    EXPECT_THROW(UnixSecondsToCivil(beyond), EConvertError) << beyond;
  EXPECT_THROW(UnixMsToCivil(INT64_MIN), EConvertError);
  EXPECT_EQ(CivilToUnixSeconds(At(2000, 2, 29, 0, 0, 0)), 951782400);
  EXPECT_EQ(DateTimeToUnixSeconds(At(1970, 1, 1, 0, 0, 59, 999)), 59);
  EXPECT_EQ(CivilToUnixSeconds(At(1970, 1, 1, 0, 0, 0, 500)), 0);  // halves to even
  EXPECT_EQ(CivilToUnixSeconds(At(1970, 1, 1, 0, 0, 1, 500)), 2);
  using P = std::array<int, 7>;
  for (const auto& [y, mo, d, h, mi, s, ms] :
       {P{2024, 13, 1, 0, 0, 0, 0}, P{2024, 2, 30, 0, 0, 0, 0}, P{2023, 2, 29, 0, 0, 0, 0},
        P{1900, 2, 29, 0, 0, 0, 0}, P{2024, 1, 1, 24, 0, 0, 0}, P{2024, 1, 1, 0, 60, 0, 0},
        P{2024, 1, 1, 0, 0, 0, 1000}, P{0, 1, 1, 0, 0, 0, 0}})
    EXPECT_THROW(At(y, mo, d, h, mi, s, ms), EConvertError) << y << "-" << mo << "-" << d;
}

// CET, and CEST from the last Sunday of March to the last Sunday of October.
class WarsawTimeTest : public testing::Test {
 protected:
  ScopedTimeZone zone_{"Europe/Warsaw"};
  FakeClock clock_;  // 2024-01-15 12:00:00 UTC
};

TEST_F(WarsawTimeTest, WinterIsOneHourAndSummerTwoHoursAheadOfUtcAndOverflowRaises) {
  EXPECT_EQ(LocalUnixToUtcUnix(1705320000, clock_), 1705320000 - 3600);
  EXPECT_EQ(TimeZoneBias(clock_), -60);
  EXPECT_EQ(NowLocal(clock_), At(2024, 1, 15, 13, 0, 0));
  EXPECT_EQ(LocalToUtc(At(2024, 7, 1, 12, 0, 0, 250), clock_), At(2024, 7, 1, 10, 0, 0, 250));
  clock_.SetUtcMs(CivilToUnixSeconds(At(2024, 7, 1, 10, 0, 0)) * 1000);
  EXPECT_EQ(TimeZoneBias(clock_), -120);
  // Times outside the calendar raise instead of overflowing.
  EXPECT_THROW(LocalUnixToUtcUnix(INT64_MIN, clock_), EOSError);
  EXPECT_THROW(UtcUnixToLocal(INT64_MAX), EOSError);
  EXPECT_THROW(UtcUnixToLocal(67768036191673199), EOSError);  // the C library's last second
}

TEST_F(WarsawTimeTest, SkippedHourTakesTheOldOffsetAndRepeatedHourTheOccurrenceNearestToNow) {
  const struct {
    CivilTime now_utc;
    CivilTime local;
    CivilTime utc;
  } cases[] = {
      // 2024-03-31 01:00 UTC: the clock jumps from 02:00 to 03:00.
      {At(2024, 3, 31, 1, 30, 0), At(2024, 3, 31, 2, 30, 0), At(2024, 3, 31, 1, 30, 0)},
      {At(2024, 3, 31, 1, 30, 0), At(2024, 3, 31, 3, 0, 0), At(2024, 3, 31, 1, 0, 0)},
      // 2024-10-27 01:00 UTC: the clock goes back from 03:00 to 02:00, so
      // 02:00 to 02:59:59 comes twice; a signal of either hour keeps its time.
      {At(2024, 10, 27, 0, 30, 5), At(2024, 10, 27, 2, 30, 0), At(2024, 10, 27, 0, 30, 0)},
      {At(2024, 10, 27, 1, 30, 5), At(2024, 10, 27, 2, 30, 0), At(2024, 10, 27, 1, 30, 0)},
      {At(2024, 10, 27, 1, 0, 30), At(2024, 10, 27, 2, 59, 50), At(2024, 10, 27, 0, 59, 50)},
      {At(2024, 10, 27, 1, 30, 5), At(2024, 10, 27, 1, 59, 59), At(2024, 10, 26, 23, 59, 59)},
      {At(2024, 10, 27, 1, 30, 5), At(2024, 10, 27, 3, 0, 0), At(2024, 10, 27, 2, 0, 0)},
  };
  for (const auto& c : cases) {
    clock_.SetUtcSeconds(CivilToUnixSeconds(c.now_utc));
    EXPECT_EQ(LocalToUtc(c.local, clock_), c.utc) << CivilToUnixSeconds(c.local);
    EXPECT_EQ(LocalUnixToUtcUnix(CivilToUnixSeconds(c.local), clock_), CivilToUnixSeconds(c.utc));
  }
  EXPECT_EQ(UtcToLocal(At(2024, 3, 31, 1, 0, 0)), At(2024, 3, 31, 3, 0, 0));
  EXPECT_EQ(UtcToLocal(At(2024, 10, 27, 1, 30, 0)), At(2024, 10, 27, 2, 30, 0));
}

TEST(SetSystemTimeUnixTest, PassesTheSecondIgnoresARefusalAndReportsAnError) {
  FakeTimeSetter setter;
  RecordingEventSink events;
  SetSystemTimeUnix(setter, events, 1705320000);
  setter.accept = false;
  SetSystemTimeUnix(setter, events, 1705320001);
  setter.fail = true;
  SetSystemTimeUnix(setter, events, 1705320002);  // does not raise
  EXPECT_EQ(setter.Calls(), (std::vector<int64_t>{1705320000, 1705320001, 1705320002}));
  ASSERT_EQ(events.Events().size(), 1u);  // the refusal was no error
  const RecordedEvent event = events.Events()[0];
  EXPECT_TRUE(event.is_error && event.text == "Error while setting module time") << event.text;
  EXPECT_EQ(event.details, ExceptionText(MakeOSError(EINVAL, "clock_settime")));
}

}  // namespace
}  // namespace vd
