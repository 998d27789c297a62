#include "device/dos_attack_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fakes/fake_clock.h"

namespace vd {
namespace {

class DoSAttackControlTest : public testing::Test {
 protected:
  struct Outcome {
    bool accept;
    bool report;
    int32_t ignored;
    friend bool operator==(const Outcome&, const Outcome&) = default;
  };

  Outcome CheckAfterSeconds(int64_t seconds) {
    clock_.AdvanceSeconds(seconds);
    Outcome outcome{false, true, -1};
    outcome.accept = control_.Check(outcome.report, outcome.ignored);
    return outcome;
  }

  static constexpr Outcome kAccepted{true, false, 0};

  FakeClock clock_;
  TDoSAttackControl control_{clock_};
};

TEST_F(DoSAttackControlTest, FourthFrameOfARunIsIgnoredAndReportedOnce) {
  EXPECT_EQ(CheckAfterSeconds(1), kAccepted);
  EXPECT_EQ(CheckAfterSeconds(1), kAccepted);
  EXPECT_EQ(CheckAfterSeconds(1), kAccepted);
  EXPECT_EQ(CheckAfterSeconds(1), (Outcome{false, true, 1}));
  EXPECT_EQ(CheckAfterSeconds(1), (Outcome{false, false, 2}));
}

TEST_F(DoSAttackControlTest, QuietMinuteStartsANewRunOfThreeAcceptedFrames) {
  for (int i = 0; i < 5; ++i) CheckAfterSeconds(1);
  EXPECT_EQ(CheckAfterSeconds(61), kAccepted);
  EXPECT_EQ(CheckAfterSeconds(1), kAccepted);
  EXPECT_EQ(CheckAfterSeconds(1), kAccepted);
  EXPECT_EQ(CheckAfterSeconds(1), (Outcome{false, true, 1}));
}

TEST_F(DoSAttackControlTest, FramesFarApartAreAllAccepted) {
  for (int i = 0; i < 5; ++i) EXPECT_EQ(CheckAfterSeconds(86400), kAccepted) << i;
}

TEST_F(DoSAttackControlTest, LongRunIsReportedAgainAfterAMinuteWithTheGrownCount) {
  for (int i = 0; i < 4; ++i) CheckAfterSeconds(1);  // last one reported with 1
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(CheckAfterSeconds(30).report);
  EXPECT_EQ(CheckAfterSeconds(1), (Outcome{false, true, 4}));  // 61 s after the report
  EXPECT_EQ(CheckAfterSeconds(59), (Outcome{false, false, 5}));
}

TEST_F(DoSAttackControlTest, ConcurrentFloodAcceptsThreeAndReportsOnce) {
  constexpr int kThreads = 4;
  constexpr int kChecksPerThread = 2000;
  std::atomic<int> accepted{0};
  std::atomic<int> ignored_frames{0};
  std::atomic<int> reports{0};
  std::atomic<int32_t> highest_ignored{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kChecksPerThread; ++i) {
        bool report = false;
        int32_t ignored = 0;
        if (control_.Check(report, ignored)) {
          ++accepted;
        } else {
          ++ignored_frames;
          int32_t seen = highest_ignored.load();
          while (ignored > seen && !highest_ignored.compare_exchange_weak(seen, ignored)) {
          }
        }
        if (report) ++reports;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(accepted, 3);
  EXPECT_EQ(ignored_frames, kThreads * kChecksPerThread - 3);
  EXPECT_EQ(highest_ignored, kThreads * kChecksPerThread - 3);
  EXPECT_EQ(reports, 1);
}

}  // namespace
}  // namespace vd
