// Can the wrap still be made? Two small planners answer it.
//
// WrapPlanner splits the time left before a target wrap into a budget per
// remaining shot, part setup and part shooting, and compares it with the
// day's pace so far. WrapForecaster prices the remaining shots on a shot curve
// rescaled to the shots already observed, with a fastest and a slowest bound
// that narrow as more shots remain (their errors average out). Both are pure
// functions of their arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/planning/shot_curve.h"
#include "core/shot_clock.h"

namespace vantle::core {

struct WrapAdvice {
  int64_t shotsRemaining = 0;
  double perShot = 0;   // time available per remaining shot
  double between = 0;   // the part of perShot expected to go to setup
  double working = 0;   // the rest, for shooting
  std::optional<double> currentPace;  // the day's average shot cost so far
  bool isTighter = false;             // perShot is below the current pace

  bool operator==(const WrapAdvice&) const = default;

  // How much each shot must gain on the current pace; absent when the budget
  // is not tighter than the pace.
  std::optional<double> shortfallPerShot() const;
};

namespace WrapPlanner {

// The budget for `remaining` shots in `timeLeft` seconds, split by the day's
// setup share (0.2 before any shot time). Absent when no shot remains or no
// time is left.
std::optional<WrapAdvice> advice(int64_t remaining, double timeLeft, const DayTiming& timing);

}  // namespace WrapPlanner

struct WrapForecast {
  double remaining = 0;  // expected shooting time of the remaining shots
  double fastest = 0;    // lower bound, never above remaining
  double slowest = 0;    // upper bound, never below remaining
  double scale = 1;      // how much slower than the curve the day runs

  bool operator==(const WrapForecast&) const = default;
};

namespace WrapForecaster {

// The range into which the observed scale is clamped, both ends included.
struct ScaleLimits {
  double lower;
  double upper;
};
inline constexpr ScaleLimits scaleLimits{0.3, 3.0};
// Relative spread used until two observations can be compared.
inline constexpr double defaultSpread = 0.35;
// The spread never falls below this.
inline constexpr double minimumSpread = 0.1;

// Total observed duration over the curve's total at the same progress points,
// clamped into the scale limits; 1 without samples or when either total is
// not positive.
double scale(std::span<const ShotCurve::Sample> observed, const ShotCurve& curve);

// The sample standard deviation of each sample's duration over its expected
// duration (curve x scale), at least minimumSpread; defaultSpread with fewer
// than two samples of positive expected duration.
double spread(std::span<const ShotCurve::Sample> observed, const ShotCurve& curve, double scale);

// Prices each remaining shot at its own position in the day (shots beyond the
// plan at the end of the curve), times the observed scale; the bounds are
// spread / sqrt(remainingShots) either side. No shots remaining: all zeros at
// scale 1. Absent when `planned` <= 0.
std::optional<WrapForecast> forecast(std::span<const ShotCurve::Sample> observed,
                                     int64_t completedShots, int64_t remainingShots,
                                     int64_t planned, const ShotCurve& curve);

}  // namespace WrapForecaster
}  // namespace vantle::core
