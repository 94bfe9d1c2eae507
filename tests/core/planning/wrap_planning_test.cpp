#include "core/planning/wrap_planning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace vantle::core {
namespace {

using Samples = std::vector<ShotCurve::Sample>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(ShotCurve, DefaultCurveInterpolationAndProgress) {
  const ShotCurve curve = ShotCurve::defaultCurve();
  EXPECT_NEAR(curve.values()[1], 1639.23, 0.01);
  EXPECT_DOUBLE_EQ(curve.duration(0.125), (2400 + curve.values()[1]) / 2);  // about 2019.6
  EXPECT_EQ(curve.duration(nan), 2400);
  EXPECT_DOUBLE_EQ(curve.duration(2), 800);

  const ShotCurve ramp({0, 100, 200, 300, 400});
  for (double p = 0; p <= 1; p += 1.0 / 64) EXPECT_NEAR(ramp.duration(p), 400 * p, 1e-9) << p;
  EXPECT_EQ(ShotCurve({-5, 10, nan, 30, 40}).values(), (ShotCurve::Values{0, 10, 0, 30, 40}));

  EXPECT_EQ(ShotCurve::progress(15, 12), 1);
  EXPECT_EQ(ShotCurve::progress(3, 0), 0);
}

TEST(ShotCurve, LearnsPointByPointFromTheNearestSamples) {
  const ShotCurve prior = ShotCurve::defaultCurve();
  EXPECT_EQ(ShotCurve::learned({}, prior), prior);

  const ShotCurve one = ShotCurve::learned(std::vector<ShotCurve::Sample>{{0.1, 600}}, prior);
  EXPECT_NEAR(one.values()[0], (600 + 2400 * 6) / 7.0, 1e-9);  // about 2142.86
  EXPECT_EQ(one.values()[1], prior.values()[1]);

  // Halfway between two points the lower one takes the sample; beyond the
  // day the last point does; samples without a number are ignored.
  const std::vector<ShotCurve::Sample> samples{{0.125, 600}, {0.375, 600}, {1.4, 700}, {0.95, 400}, {nan, 5}};
  const ShotCurve learned = ShotCurve::learned(samples, prior, 1);
  EXPECT_EQ(learned.values()[0], 1500);
  EXPECT_DOUBLE_EQ(learned.values()[1], (600 + prior.values()[1]) / 2);
  EXPECT_EQ(learned.values()[2], 1200);
  EXPECT_DOUBLE_EQ(learned.values()[4], (700 + 400 + 800) / 3.0);
}

TEST(WrapPlanner, SplitsTheBudgetByTheDaysSetupShare) {
  EXPECT_EQ(WrapPlanner::advice(0, 3600, DayTiming::empty()), std::nullopt);

  const WrapAdvice tight = *WrapPlanner::advice(10, 3600, DayTiming{4, 1200, 300, 400});
  EXPECT_EQ(tight, (WrapAdvice{10, 360, 90, 270, 400, true}));
  EXPECT_EQ(tight.shortfallPerShot(), 40);

  const WrapAdvice fresh = *WrapPlanner::advice(10, 3600, DayTiming::empty());
  EXPECT_EQ(fresh, (WrapAdvice{10, 360, 72, 288, std::nullopt, false}));

  // More setup than shot time: the share stops at 1, nothing is left to shoot.
  EXPECT_EQ(WrapPlanner::advice(2, 1000, DayTiming{2, 100, 500, 0})->working, 0);
}

TEST(WrapForecaster, ScaleAndSpread) {
  const ShotCurve curve = ShotCurve::defaultCurve();
  EXPECT_EQ(WrapForecaster::scale(Samples{{0, 4800}, {1, 1600}}, curve), 2);
  EXPECT_EQ(WrapForecaster::scale(Samples{{0, 24000}}, curve), 3);
  EXPECT_EQ(WrapForecaster::scale(Samples{{0, 24}}, curve), 0.3);

  EXPECT_EQ(WrapForecaster::spread(Samples{{0, 2400}}, curve, 1), 0.35);
  EXPECT_EQ(WrapForecaster::spread(Samples{{0, 2400}, {1, 800}}, curve, 1), 0.1);
  EXPECT_NEAR(WrapForecaster::spread(Samples{{1, 400}, {1, 1200}}, curve, 1), std::sqrt(0.5), 1e-12);
}

TEST(WrapForecaster, PricesEachShotAtItsPlaceInTheDay) {
  const ShotCurve curve = ShotCurve::defaultCurve();
  // Ratios to the curve 1 ± 0.2√2: a spread of 0.4 at a scale of 1.
  const double v = curve.duration(1);
  const Samples observed{{1, v * (1 + 0.2 * std::sqrt(2))}, {1, v * (1 - 0.2 * std::sqrt(2))}};
  const WrapForecast f = *WrapForecaster::forecast(observed, 6, 4, 10, curve);
  const double r = curve.duration(0.6) + curve.duration(0.7) + curve.duration(0.8) + curve.duration(0.9);
  EXPECT_NEAR(f.remaining, r, 1e-9);
  EXPECT_NEAR(f.fastest, 0.8 * r, 1e-9);  // 0.4 / √4 either side
  EXPECT_NEAR(f.slowest, 1.2 * r, 1e-9);

  // Shots beyond the plan, and a plan of none, are left to the random days below.
  // An absurd plan is priced without walking every shot.
  const int64_t huge = int64_t{1} << 60;
  EXPECT_NEAR(WrapForecaster::forecast({}, 0, huge, huge, ShotCurve({4, 4, 4, 4, 4}))->remaining,
              4 * static_cast<double>(huge), 1e6);
}

TEST(WrapForecaster, RandomDaysKeepTheirBoundsAndPriceEveryShot) {
  std::mt19937_64 random(20250301);
  std::uniform_real_distribution<double> unit(0, 1);
  std::uniform_int_distribution<int64_t> shots(-3, 60);
  std::uniform_int_distribution<size_t> sampleCount(0, 8);
  for (int round = 0; round < 2000; ++round) {
    const ShotCurve curve({3000 * unit(random), 3000 * unit(random), 3000 * unit(random),
                           3000 * unit(random), 3000 * unit(random)});
    Samples observed(sampleCount(random));
    for (auto& s : observed) s = {1.2 * unit(random) - 0.1, 4000 * unit(random)};
    const int64_t done = shots(random), remaining = shots(random), planned = shots(random);

    const auto f = WrapForecaster::forecast(observed, done, remaining, planned, curve);
    if (remaining > 0 && planned <= 0) {
      EXPECT_EQ(f, std::nullopt);
      continue;
    }
    ASSERT_TRUE(f);
    EXPECT_LE(0, f->fastest);
    EXPECT_LE(f->fastest, f->remaining);
    EXPECT_LE(f->remaining, f->slowest);
    double oneByOne = 0;
    for (int64_t k = 0; k < remaining; ++k) {
      oneByOne += curve.duration(std::clamp(double(done + k) / double(planned), 0.0, 1.0)) * f->scale;
    }
    EXPECT_NEAR(f->remaining, oneByOne, 1e-9 * (1 + oneByOne)) << done << " done, " << remaining << " to go";
  }
}

}  // namespace
}  // namespace vantle::core
