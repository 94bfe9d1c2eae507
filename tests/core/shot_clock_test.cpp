#include "core/shot_clock.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using testing::at;

TEST(ShotClock, StopsAdvancingOnceTheGapPassesTheThresholdOrWhenStopped) {
  const ShotClock stopped{42, std::nullopt, 10, at(0), 300};
  EXPECT_DOUBLE_EQ(stopped.elapsed(at(10000)), 42);

  const ShotClock clock{60, at(0), 0, at(0), 300};
  EXPECT_DOUBLE_EQ(clock.elapsed(at(300)), 360);
  EXPECT_DOUBLE_EQ(clock.elapsed(at(500)), 360);
  EXPECT_DOUBLE_EQ(clock.idle(at(500)), 200);
  EXPECT_FALSE(clock.isWaiting(at(300)));
  EXPECT_TRUE(clock.isWaiting(at(301)));
}

TEST(ShotClock, WithoutActivitySubtractsOnlyBankedIdleAndNeverDropsBelowAccumulated) {
  const ShotClock noActivity{0, at(0), 30, std::nullopt, 300};
  EXPECT_DOUBLE_EQ(noActivity.elapsed(at(1000)), 970);
  EXPECT_FALSE(noActivity.isWaiting(at(1000)));

  const ShotClock overBanked{25, at(0), 500, at(0), 300};
  EXPECT_DOUBLE_EQ(overBanked.elapsed(at(100)), 25);
  // A clock read before its opening (a clock step) does not run backwards.
  EXPECT_DOUBLE_EQ(ShotClock({25, at(100), 0, at(100), 300}).elapsed(at(0)), 25);
}

ShotSegmentRecord shot(double opened, double closed, std::optional<double> first = std::nullopt,
                       double idleBefore = 0, double idleDuring = 0, double idleAfter = 0) {
  std::optional<Instant> firstAt;
  if (first) firstAt = at(*first);
  return {"/s", at(opened), at(closed), 0, first ? 1 : 0, std::nullopt, firstAt, firstAt,
          idleBefore, idleDuring, idleAfter};
}

TEST(DayTiming, UntrackedGapsDoNotDependOnOrder) {
  std::vector<ShotSegmentRecord> records{shot(150, 300), shot(0, 100)};
  EXPECT_DOUBLE_EQ(DayTiming::summing(records, 2).totalUntracked, 50);
  std::reverse(records.begin(), records.end());
  EXPECT_DOUBLE_EQ(DayTiming::summing(records, 2).totalUntracked, 50);
  // Overlapping shots add no untracked time.
  EXPECT_DOUBLE_EQ(DayTiming::summing(std::vector{shot(0, 100), shot(50, 80)}, 2).totalUntracked, 0);
}

TEST(DayTiming, ShotAndSetupTotals) {
  // No frames: 120 s long with 30 s idle counts 90 both as shot and as setup time.
  const DayTiming noFrames = DayTiming::summing(std::vector{shot(0, 120, std::nullopt, 30)}, 1);
  EXPECT_DOUBLE_EQ(noFrames.totalShotTime, 90);
  EXPECT_DOUBLE_EQ(noFrames.totalBetween, 90);

  const DayTiming withFrame = DayTiming::summing(std::vector{shot(0, 200, 40, 10, 0, 20)}, 7);
  EXPECT_DOUBLE_EQ(withFrame.totalBetween, 30);
  EXPECT_DOUBLE_EQ(withFrame.totalShotTime, 170);
  // The average shot cost and the setup share are checked through the wrap advice.
}

}  // namespace
}  // namespace vantle::core
