#include "support/time_utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_time_zone.h"
#include "support/errors.h"
#include "support/system_time_setter.h"

namespace vd {
namespace {

CivilTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return EncodeDateTime(year, month, day, hour, minute, second, ms);
}

int64_t Unix(int year, int month, int day, int hour, int minute, int second) {
  return CivilToUnixSeconds(At(year, month, day, hour, minute, second));
}

TEST(CivilTimeTest, ZeroDateTimeAndKnownInstants) {
  EXPECT_EQ(DateTimeToUnixSeconds(CivilTime{}), -2209161600);
  EXPECT_EQ(Unix(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(Unix(2024, 1, 15, 12, 0, 0), 1705320000);
  EXPECT_EQ(UnixSecondsToCivil(-1), At(1969, 12, 31, 23, 59, 59));
  EXPECT_EQ(UnixSecondsToCivil(-2209161600), CivilTime{});
}

TEST(CivilTimeTest, MillisecondsRoundHalfToEvenExceptInDateTimeToUnixSeconds) {
  EXPECT_EQ(DateTimeToUnixSeconds(At(1970, 1, 1, 0, 0, 59, 999)), 59);
  EXPECT_EQ(CivilToUnixSeconds(At(1970, 1, 1, 0, 0, 59, 999)), 60);
  EXPECT_EQ(CivilToUnixSeconds(At(1970, 1, 1, 0, 0, 0, 500)), 0);
  EXPECT_EQ(CivilToUnixSeconds(At(1970, 1, 1, 0, 0, 1, 500)), 2);
  EXPECT_EQ(CivilToUnixSeconds(At(1970, 1, 1, 0, 0, 1, 499)), 1);
  EXPECT_EQ(CivilToUnixSeconds(At(1969, 12, 31, 23, 59, 59, 500)), 0);
}

TEST(CivilTimeTest, AgreesWithTheCLibraryOverYearsOneToNineThousand) {
  std::mt19937_64 random(2024);
  const int64_t first = Unix(1, 1, 1, 0, 0, 0);
  const int64_t last = Unix(9999, 12, 31, 23, 59, 59);
  std::uniform_int_distribution<int64_t> pick(first, last);
  for (int i = 0; i < 3000; ++i) {
    const int64_t seconds = i == 0 ? first : i == 1 ? last : pick(random);
    const CivilTime civil = UnixSecondsToCivil(seconds);
    ASSERT_EQ(CivilToUnixSeconds(civil), seconds);
    const auto when = static_cast<time_t>(seconds);
    struct tm expected {};
    ASSERT_NE(gmtime_r(&when, &expected), nullptr);
    ASSERT_EQ(civil, At(expected.tm_year + 1900, expected.tm_mon + 1, expected.tm_mday,
                        expected.tm_hour, expected.tm_min, expected.tm_sec))
        << seconds;
  }
}

TEST(CivilTimeTest, EncodeRejectsImpossibleDatesAndTimes) {
  EXPECT_THROW(At(2024, 13, 1, 0, 0, 0), EConvertError);
  EXPECT_THROW(At(2024, 2, 30, 0, 0, 0), EConvertError);
  EXPECT_THROW(At(2023, 2, 29, 0, 0, 0), EConvertError);
  EXPECT_THROW(At(1900, 2, 29, 0, 0, 0), EConvertError);
  EXPECT_THROW(At(2024, 1, 1, 24, 0, 0), EConvertError);
  EXPECT_THROW(At(2024, 1, 1, 0, 60, 0), EConvertError);
  EXPECT_THROW(At(2024, 1, 1, 0, 0, 0, 1000), EConvertError);
  EXPECT_THROW(At(0, 1, 1, 0, 0, 0), EConvertError);
  EXPECT_NO_THROW(At(2024, 2, 29, 23, 59, 59, 999));
  EXPECT_NO_THROW(At(2000, 2, 29, 0, 0, 0));
}

TEST(CivilTimeTest, NowUtcKeepsMillisecondsAndNowUnixUtcRounds) {
  FakeClock clock;
  clock.SetUtcMs(1705320000700);
  EXPECT_EQ(NowUtc(clock), At(2024, 1, 15, 12, 0, 0, 700));
  EXPECT_EQ(NowUnixUtc(clock), 1705320001);
  clock.SetUtcMs(-300);
  EXPECT_EQ(NowUtc(clock), At(1969, 12, 31, 23, 59, 59, 700));
}

// Runs each test with the Warsaw zone (CET, CEST from the last Sunday of March
// to the last Sunday of October) and puts the previous zone back afterwards.
class WarsawTimeTest : public testing::Test {
 protected:
  ScopedTimeZone zone_{"Europe/Warsaw"};
};

TEST_F(WarsawTimeTest, WinterIsOneHourAndSummerTwoHoursAheadOfUtc) {
  const int64_t winter = Unix(2024, 1, 15, 12, 0, 0);
  EXPECT_EQ(LocalUnixToUtcUnix(winter), winter - 3600);
  const int64_t summer = Unix(2024, 7, 1, 12, 0, 0);
  EXPECT_EQ(LocalUnixToUtcUnix(summer), summer - 7200);
  EXPECT_EQ(UtcUnixToLocal(winter - 3600), At(2024, 1, 15, 12, 0, 0));
  EXPECT_EQ(UtcToLocal(At(2024, 7, 1, 10, 0, 0, 250)), At(2024, 7, 1, 12, 0, 0, 250));
  EXPECT_EQ(LocalToUtc(At(2024, 7, 1, 12, 0, 0, 250)), At(2024, 7, 1, 10, 0, 0, 250));
}

TEST_F(WarsawTimeTest, SkippedSpringHourTakesTheOffsetBeforeTheChange) {
  // 2024-03-31: at 01:00 UTC the clock jumps from 02:00 to 03:00.
  EXPECT_EQ(LocalToUtc(At(2024, 3, 31, 1, 59, 59)), At(2024, 3, 31, 0, 59, 59));
  EXPECT_EQ(LocalToUtc(At(2024, 3, 31, 2, 0, 0)), At(2024, 3, 31, 1, 0, 0));
  EXPECT_EQ(LocalToUtc(At(2024, 3, 31, 2, 30, 0)), At(2024, 3, 31, 1, 30, 0));
  EXPECT_EQ(LocalToUtc(At(2024, 3, 31, 3, 0, 0)), At(2024, 3, 31, 1, 0, 0));
  EXPECT_EQ(UtcToLocal(At(2024, 3, 31, 1, 0, 0)), At(2024, 3, 31, 3, 0, 0));
}

TEST_F(WarsawTimeTest, RepeatedAutumnHourTakesItsFirstOccurrence) {
  // 2024-10-27: at 01:00 UTC the clock goes back from 03:00 to 02:00.
  EXPECT_EQ(LocalToUtc(At(2024, 10, 27, 1, 59, 59)), At(2024, 10, 26, 23, 59, 59));
  EXPECT_EQ(LocalToUtc(At(2024, 10, 27, 2, 0, 0)), At(2024, 10, 27, 0, 0, 0));
  EXPECT_EQ(LocalToUtc(At(2024, 10, 27, 2, 30, 0)), At(2024, 10, 27, 0, 30, 0));
  EXPECT_EQ(LocalToUtc(At(2024, 10, 27, 3, 0, 0)), At(2024, 10, 27, 2, 0, 0));
  EXPECT_EQ(UtcToLocal(At(2024, 10, 27, 0, 30, 0)), At(2024, 10, 27, 2, 30, 0));
  EXPECT_EQ(UtcToLocal(At(2024, 10, 27, 1, 30, 0)), At(2024, 10, 27, 2, 30, 0));
}

TEST_F(WarsawTimeTest, LocalAndUtcRoundTripOutsideTheGaps) {
  // Every hour of 2024: UTC -> local -> UTC is the identity (the repeated
  // hour maps back to its first occurrence, so it is skipped).
  const int64_t start = Unix(2024, 1, 1, 0, 0, 0);
  for (int64_t utc = start; utc < start + 366 * 86400; utc += 3600) {
    if (utc == Unix(2024, 10, 27, 1, 0, 0)) continue;
    const int64_t local = CivilToUnixSeconds(UtcUnixToLocal(utc));
    ASSERT_EQ(LocalUnixToUtcUnix(local), utc) << utc;
  }
}

TEST_F(WarsawTimeTest, TimesOutsideTheCalendarRaiseInsteadOfOverflowing) {
  EXPECT_THROW(LocalUnixToUtcUnix(INT64_MAX), EOSError);
  EXPECT_THROW(LocalUnixToUtcUnix(INT64_MIN), EOSError);
  EXPECT_THROW(UtcUnixToLocal(INT64_MAX), EOSError);
  EXPECT_EQ(LocalUnixToUtcUnix(Unix(9999, 12, 31, 23, 59, 59)), Unix(9999, 12, 31, 22, 59, 59));
  EXPECT_EQ(LocalUnixToUtcUnix(Unix(1, 1, 1, 0, 0, 0)), Unix(1, 1, 1, 0, 0, 0) - 5040);
}

TEST_F(WarsawTimeTest, BiasAndLocalNowFollowTheZone) {
  FakeClock clock;  // 2024-01-15 12:00:00 UTC
  EXPECT_EQ(TimeZoneBias(clock), -60);
  EXPECT_EQ(NowLocal(clock), At(2024, 1, 15, 13, 0, 0));
  EXPECT_EQ(NowLocalUnix(clock), Unix(2024, 1, 15, 13, 0, 0));
  clock.SetUtcMs(Unix(2024, 7, 1, 10, 0, 0) * 1000 + 999);
  EXPECT_EQ(TimeZoneBias(clock), -120);
  EXPECT_EQ(NowLocal(clock), At(2024, 7, 1, 12, 0, 0, 999));
  EXPECT_EQ(NowLocalUnix(clock), Unix(2024, 7, 1, 12, 0, 0));
}

class RecordingTimeSetter final : public ISystemTimeSetter {
 public:
  bool SetSystemTimeUtc(int64_t utc_seconds) override {
    calls.push_back(utc_seconds);
    if (fail) throw MakeOSError(EINVAL, "clock_settime");
    return accept;
  }

  std::vector<int64_t> calls;
  bool accept = true;
  bool fail = false;
};

TEST(SetSystemTimeUnixTest, PassesTheSecondAndIgnoresARefusal) {
  RecordingTimeSetter setter;
  RecordingEventSink events;
  SetSystemTimeUnix(setter, events, 1705320000);
  setter.accept = false;
  SetSystemTimeUnix(setter, events, 1705320001);
  EXPECT_EQ(setter.calls, (std::vector<int64_t>{1705320000, 1705320001}));
  EXPECT_TRUE(events.Events().empty());
}

TEST(SetSystemTimeUnixTest, AnErrorBecomesAnEventAndIsNotRaised) {
  RecordingTimeSetter setter;
  setter.fail = true;
  RecordingEventSink events;
  EXPECT_NO_THROW(SetSystemTimeUnix(setter, events, 1705320000));
  const auto recorded = events.Events();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].text, "Error while setting module time");
  EXPECT_EQ(recorded[0].details, ExceptionText(MakeOSError(EINVAL, "clock_settime")));
  EXPECT_TRUE(recorded[0].is_error);
}

}  // namespace
}  // namespace vd
