// The pace of the day against a viewer's target, as /plan answers it.
#include "web/plan_query.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/instants.h"
#include "web/live_view.h"

namespace vantle::web {
namespace {

PlanTarget parsed(const char* looks, const char* frames, const char* wrap) {
  auto result = PlanTarget::parse(looks, frames, wrap);
  if (auto* error = std::get_if<std::string>(&result)) ADD_FAILURE() << *error;
  return std::get_if<PlanTarget>(&result) ? std::get<PlanTarget>(result) : PlanTarget{};
}

bool refused(const char* looks, const char* frames, const char* wrap) {
  return std::holds_alternative<std::string>(PlanTarget::parse(looks, frames, wrap));
}

TEST(PlanQuery, ATargetIsOneWholeNumberOfLooksOrFramesAndAWrapTimeOfThisCentury) {
  EXPECT_TRUE(refused(nullptr, nullptr, nullptr));
  EXPECT_TRUE(refused("10", "400", nullptr));
  for (const char* bad : {"", "0", "-3", "1e3", "12abc", " 12", "100001", "99999999999999999999"}) {
    EXPECT_TRUE(refused(bad, nullptr, nullptr)) << bad;
  }
  for (const char* wrap : {"noon", "0", "17960000000000", "-1796000000000"}) {
    EXPECT_TRUE(refused("10", nullptr, wrap)) << wrap;
  }
  const PlanTarget frames = parsed(nullptr, "400", "1796000000000");
  EXPECT_EQ(frames.unit, PlanTarget::Unit::frames);
  EXPECT_EQ(frames.count, 400);
  ASSERT_TRUE(frames.wrapAt);
  EXPECT_EQ(unixMillis(*frames.wrapAt), 1796000000000);
  EXPECT_FALSE(parsed("100000", nullptr, "").wrapAt);
}

TEST(PlanQuery, TheDaysFactsAnswerHowManyLooksAreLeftAndWhatPaceTheWrapNeeds) {
  // First frame at 9:00; four looks done by 11:00 of 20 frames each; wrap planned at 18:00.
  const core::Instant nine = testing::at(0);
  PlanFacts facts;
  facts.snapshot.firstCaptureAt = nine;
  facts.snapshot.shotsCompleted = 4;
  facts.snapshot.framesThisShoot = 80;
  facts.shotDurations = {1800, 1800, 1800, 1800};
  const core::Instant eleven = core::addingSeconds(nine, 2 * 3600);
  const std::string wrap = std::to_string(unixMillis(core::addingSeconds(nine, 9 * 3600)));

  const core::Json looks = planJson(parsed("10", nullptr, wrap.c_str()), facts, eleven);
  EXPECT_EQ(looks["shotsRemaining"], 6);
  EXPECT_DOUBLE_EQ(looks["averagePace"].get<double>(), 1800);
  EXPECT_DOUBLE_EQ(looks["requiredPace"].get<double>(), 7 * 3600 / 6.0);
  EXPECT_FALSE(looks["isPastTarget"].get<bool>());
  EXPECT_EQ(looks["wrapLabel"], "Estimated wrap");
  ASSERT_TRUE(looks["wrapTime"].is_number());
  ASSERT_TRUE(looks["earliestWrapAt"].is_number() && looks["latestWrapAt"].is_number());
  EXPECT_LE(looks["earliestWrapAt"].get<int64_t>(), looks["wrapTime"].get<int64_t>());
  EXPECT_LE(looks["wrapTime"].get<int64_t>(), looks["latestWrapAt"].get<int64_t>());
  EXPECT_GT(looks["wrapTime"].get<int64_t>(), unixMillis(eleven));

  // 400 frames at 20 frames a look is 20 looks, 320 frames to go.
  const core::Json frames = planJson(parsed(nullptr, "400", wrap.c_str()), facts, eleven);
  EXPECT_EQ(frames["plannedLooks"], 20);
  EXPECT_TRUE(frames["looksEstimated"].get<bool>());
  EXPECT_EQ(frames["framesRemaining"], 320);
  EXPECT_EQ(frames["shotsRemaining"], 16);

  // Before the first look a frames target cannot be turned into looks.
  const core::Json early = planJson(parsed(nullptr, "400", nullptr), PlanFacts{}, eleven);
  EXPECT_TRUE(early["plannedLooks"].is_null());
  EXPECT_EQ(early["framesRemaining"], 400);
  EXPECT_TRUE(early["wrapTime"].is_null());
}

}  // namespace
}  // namespace vantle::web
