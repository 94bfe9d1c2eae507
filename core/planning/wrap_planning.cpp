#include "core/planning/wrap_planning.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vantle::core {

std::optional<double> WrapAdvice::shortfallPerShot() const {
  if (!currentPace || !(*currentPace > perShot)) return std::nullopt;
  return *currentPace - perShot;
}

namespace WrapPlanner {

std::optional<WrapAdvice> advice(int64_t remaining, double timeLeft, const DayTiming& timing) {
  if (remaining <= 0 || !(timeLeft > 0)) return std::nullopt;
  WrapAdvice advice;
  advice.shotsRemaining = remaining;
  advice.perShot = timeLeft / static_cast<double>(remaining);
  advice.between = timing.betweenShare() * advice.perShot;
  advice.working = std::max(0.0, advice.perShot - advice.between);
  advice.currentPace = timing.averageShotCost();
  advice.isTighter = timing.shotsCompleted > 0 && advice.perShot < *advice.currentPace;
  return advice;
}

}  // namespace WrapPlanner

namespace WrapForecaster {
namespace {

// The sum of the curve's duration at progress (completed + k) / planned for k
// from 0 to count - 1. As a function of k the summand is linear between the
// places where the progress crosses a curve point (and flat before 0 and after
// 1), so each linear run adds its length times the mean of its two ends. A
// plan of a million shots costs six runs, not a million steps.
double pricedShots(const ShotCurve& curve, int64_t completed, int64_t count, int64_t planned) {
  const double c = static_cast<double>(completed);
  const double n = static_cast<double>(count);
  const double p = static_cast<double>(planned);
  const auto priced = [&](double k) { return curve.duration((c + k) / p); };
  double sum = 0;
  double first = 0;  // the first shot of the current run
  const auto addRunThrough = [&](double last) {
    if (last < first) return;
    sum += (last - first + 1) * (priced(first) + priced(last)) / 2;
    first = last + 1;
  };
  for (double point : ShotCurve::points) addRunThrough(std::min(n - 1, std::floor(point * p - c)));
  addRunThrough(n - 1);
  return sum;
}

}  // namespace

double scale(std::span<const ShotCurve::Sample> observed, const ShotCurve& curve) {
  if (observed.empty()) return 1;
  double expected = 0;
  double actual = 0;
  for (const ShotCurve::Sample& s : observed) {
    expected += curve.duration(s.progress);
    actual += s.duration;
  }
  if (!(expected > 0) || !(actual > 0)) return 1;
  return std::clamp(actual / expected, scaleLimits.lower, scaleLimits.upper);
}

double spread(std::span<const ShotCurve::Sample> observed, const ShotCurve& curve, double scale) {
  if (observed.size() < 2) return defaultSpread;
  std::vector<double> ratios;
  ratios.reserve(observed.size());
  for (const ShotCurve::Sample& s : observed) {
    const double expected = curve.duration(s.progress) * scale;
    if (expected > 0) ratios.push_back(s.duration / expected);
  }
  if (ratios.size() < 2) return defaultSpread;
  double mean = 0;
  for (double r : ratios) mean += r;
  mean /= static_cast<double>(ratios.size());
  double squares = 0;
  for (double r : ratios) squares += (r - mean) * (r - mean);
  const double deviation = std::sqrt(squares / static_cast<double>(ratios.size() - 1));
  // Also catches a deviation that is not a number.
  return deviation > minimumSpread ? deviation : minimumSpread;
}

std::optional<WrapForecast> forecast(std::span<const ShotCurve::Sample> observed,
                                     int64_t completedShots, int64_t remainingShots,
                                     int64_t planned, const ShotCurve& curve) {
  if (remainingShots <= 0) return WrapForecast{0, 0, 0, 1};
  if (planned <= 0) return std::nullopt;
  const double s = scale(observed, curve);
  const double total = pricedShots(curve, completedShots, remainingShots, planned) * s;
  const double rel = spread(observed, curve, s) / std::sqrt(static_cast<double>(remainingShots));
  return WrapForecast{std::max(0.0, total), std::max(0.0, std::min(total, (1 - rel) * total)),
                      std::max(total, (1 + rel) * total), s};
}

}  // namespace WrapForecaster
}  // namespace vantle::core
