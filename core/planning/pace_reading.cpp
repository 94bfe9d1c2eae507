#include "core/planning/pace_reading.h"

#include <algorithm>

#include "core/planning/instant_offset.h"
#include "core/planning/wrap_planning.h"
#include "core/saturating.h"

namespace vantle::core {

double PaceInput::declaredBreakTaken() const {
  const double lunch = breakAllowance.lunch ? breakAllowance.lunch->taken(now) : 0;
  return lunch + std::min(longBreaksObserved, breakAllowance.extraBudget());
}

double PaceInput::declaredBreakRemaining() const {
  return std::max(0.0, breakAllowance.budget() - declaredBreakTaken());
}

std::optional<double> PaceInput::elapsedForPace() const {
  if (!firstCaptureAt) return std::nullopt;
  const Instant end = endedAt ? std::min(now, *endedAt) : now;
  return std::max(0.0, std::max(0.0, secondsBetween(*firstCaptureAt, end)) - declaredBreakTaken());
}

namespace PaceMath {

PaceReading reading(const PaceInput& input) {
  PaceReading r;
  const Instant reference = input.endedAt ? std::min(input.now, *input.endedAt) : input.now;
  const double taken = input.declaredBreakTaken();
  const double breakToCome = input.declaredBreakRemaining();

  if (input.firstCaptureAt) {
    const double elapsed = std::max(0.0, secondsBetween(*input.firstCaptureAt, reference));
    r.elapsed = elapsed;
    if (input.shotsCompleted > 0) {
      r.averagePace = std::max(0.0, elapsed - taken) / static_cast<double>(input.shotsCompleted);
    }
  }
  if (input.plannedShotCount) {
    const int64_t difference = saturatingSub(*input.plannedShotCount, input.shotsCompleted);
    r.shotsRemaining = std::max<int64_t>(0, difference);
    r.isOverPlan = difference < 0;
  }
  if (input.endedAt) r.wrappedAt = reference;

  std::optional<WrapForecast> forecast;
  if (!r.wrappedAt && r.shotsRemaining && input.shotsCompleted > 0) {
    forecast = WrapForecaster::forecast(input.observedShots, input.shotsCompleted,
                                        *r.shotsRemaining, *input.plannedShotCount, input.curve);
  }
  if (forecast) {
    r.estimatedWrapAt = offsetInstant(input.now, forecast->remaining + breakToCome);
    r.earliestWrapAt = offsetInstant(input.now, forecast->fastest + breakToCome);
    r.latestWrapAt = offsetInstant(input.now, forecast->slowest + breakToCome);
    r.paceFactor = forecast->scale;
  } else if (!r.wrappedAt && r.shotsRemaining && r.averagePace) {
    r.estimatedWrapAt = offsetInstant(
        input.now, static_cast<double>(*r.shotsRemaining) * *r.averagePace + breakToCome);
  }

  if (input.targetWrapAt) {
    r.isPastTarget = *input.targetWrapAt <= r.wrappedAt.value_or(input.now);
    if (!r.wrappedAt && r.shotsRemaining && *r.shotsRemaining > 0) {
      const double available = secondsBetween(input.now, *input.targetWrapAt) - breakToCome;
      if (available > 0) r.requiredPace = available / static_cast<double>(*r.shotsRemaining);
    }
    if (const std::optional<Instant> end = r.wrapTime()) {
      r.slack = secondsBetween(*end, *input.targetWrapAt);
    }
  }
  return r;
}

}  // namespace PaceMath
}  // namespace vantle::core
