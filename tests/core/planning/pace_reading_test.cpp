#include "core/planning/pace_reading.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/planning/wrap_planning.h"
#include "tests/support/instants.h"

namespace vantle::core {
namespace {

using testing::at;

// An instant of the shoot day, 09:00 being at(0).
Instant clock(int h, int m) { return at((h - 9) * 3600.0 + m * 60.0); }

TEST(LunchWindow, TakenSoFar) {
  const LunchWindow lunch{clock(12, 0), clock(12, 45)};
  EXPECT_EQ(lunch.taken(clock(11, 0)), 0);
  EXPECT_EQ(lunch.taken(clock(12, 30)), 1800);
  EXPECT_EQ(lunch.taken(clock(14, 0)), 2700);
  EXPECT_EQ((LunchWindow{clock(13, 0), clock(12, 0)}).taken(clock(14, 0)), 0);  // ends before it starts
}

TEST(BreakLedger, LongIdleAndLongGapsOutsideLunch) {
  const auto idle = [](double s) { return std::vector{BreakSpan{clock(9, 0), clock(10, 0), s}}; };
  EXPECT_EQ(BreakLedger::longBreaks(idle(1199), std::nullopt), 0);
  EXPECT_EQ(BreakLedger::longBreaks(idle(1200), std::nullopt), 1200);
  EXPECT_EQ(BreakLedger::longBreaks(idle(1500), LunchWindow{clock(9, 30), clock(10, 30)}), 0);

  const std::vector spans{BreakSpan{clock(9, 0), clock(10, 0), 0}, BreakSpan{clock(10, 30), clock(11, 0), 0}};
  // Ending exactly where lunch starts is no overlap.
  EXPECT_EQ(BreakLedger::longBreaks(spans, LunchWindow{clock(10, 30), clock(11, 15)}), 1800);
}

// A day that started at(0), read at `now` seconds.
PaceInput day(double now, int64_t completed, std::optional<int64_t> planned = std::nullopt) {
  PaceInput input;
  input.firstCaptureAt = at(0);
  input.now = at(now);
  input.shotsCompleted = completed;
  input.plannedShotCount = planned;
  return input;
}

TEST(PaceMath, DeclaredBreaksTakenDoNotCountAgainstThePace) {
  PaceInput input = day(7200, 6);
  input.breakAllowance = {LunchWindow{at(3600), at(5400)}, 15};
  input.longBreaksObserved = 300;
  EXPECT_EQ(PaceMath::reading(input).averagePace, (7200 - 1800 - 300) / 6.0);
  EXPECT_EQ(input.declaredBreakRemaining(), 600);
  // Long breaks count only up to the extra allowance, which is never negative.
  input.longBreaksObserved = 1500;
  EXPECT_EQ(input.elapsedForPace(), 7200 - 1800 - 900);
  EXPECT_EQ((BreakAllowance{std::nullopt, -5}).extraBudget(), 0);
}

TEST(PaceMath, OverPlanAndAfterTheEnd) {
  PaceInput input = day(6000, 12, 10);
  input.endedAt = at(5000);
  input.targetWrapAt = at(5400);
  const PaceReading r = PaceMath::reading(input);
  EXPECT_EQ(r.shotsRemaining, 0);
  EXPECT_TRUE(r.isOverPlan);
  EXPECT_EQ(r.elapsed, 5000);
  EXPECT_EQ(r.slack, 400);
  EXPECT_EQ(r.wrapLabel(), "Wrapped");
}

TEST(PaceMath, TheForecastPlacesTheWrapAfterTheBreaksToCome) {
  PaceInput input = day(7200, 4, 10);
  input.observedShots = {{0, 1500}, {0.1, 2100}, {0.2, 1700}, {0.3, 1900}};
  input.targetWrapAt = at(7200 + 5 * 3600);
  input.breakAllowance.lunch = LunchWindow{at(9000), at(11700)};  // not started yet
  const PaceReading r = PaceMath::reading(input);
  const WrapForecast f = *WrapForecaster::forecast(input.observedShots, 4, 6, 10, input.curve);

  EXPECT_EQ(r.estimatedWrapAt, addingSeconds(at(7200), f.remaining + 2700));
  EXPECT_EQ(r.latestWrapAt, addingSeconds(at(7200), f.slowest + 2700));
  EXPECT_EQ(r.requiredPace, (5 * 3600 - 2700) / 6.0);
  EXPECT_NEAR(*r.slack, 5 * 3600 - 2700 - f.remaining, 1e-6);
  EXPECT_EQ(r.shortWrapLabel(), "Est. wrap");
}

}  // namespace
}  // namespace vantle::core
