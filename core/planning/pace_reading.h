// The pace of a shoot day in one reading.
//
// PaceMath::reading answers the questions of the day from its facts: how long
// it has run, how long a shot takes on average, how many shots remain, when it
// will wrap (with a fastest and a slowest estimate from WrapForecaster), what
// pace the target wrap demands and how much slack is left. Declared breaks are
// not held against the crew: lunch and extra minutes already taken come off
// the working time, and those still to come push the wrap out.
//
// Pure: the current instant comes in PaceInput::now. An instant too far away
// to represent (a plan of absurdly many shots) is left absent rather than
// wrapped around.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/instant.h"
#include "core/planning/breaks.h"
#include "core/planning/shot_curve.h"

namespace vantle::core {

struct PaceInput {
  std::optional<Instant> firstCaptureAt;  // absent before the day's first frame
  Instant now;
  int64_t shotsCompleted = 0;
  std::optional<int64_t> plannedShotCount;
  std::optional<Instant> targetWrapAt;
  std::optional<Instant> endedAt;  // when the shoot was stopped
  BreakAllowance breakAllowance;
  double longBreaksObserved = 0;  // BreakLedger::longBreaks of the day
  std::vector<ShotCurve::Sample> observedShots;
  ShotCurve curve = ShotCurve::defaultCurve();

  bool operator==(const PaceInput&) const = default;

  // Lunch used by `now`, plus the long breaks observed up to the size of the
  // extra allowance.
  double declaredBreakTaken() const;
  // The allowance's budget minus what is taken, never negative.
  double declaredBreakRemaining() const;
  // Time from the first capture to now (or the end), less the declared break
  // taken, never negative; absent before the first capture.
  std::optional<double> elapsedForPace() const;
};

struct PaceReading {
  std::optional<double> elapsed;      // first capture to now or the end, breaks included
  std::optional<double> averagePace;  // working time per completed shot
  std::optional<int64_t> shotsRemaining;  // planned minus completed, never below 0
  std::optional<Instant> estimatedWrapAt;
  std::optional<double> requiredPace;  // time per remaining shot the target allows
  std::optional<double> slack;         // target minus the (expected) end; positive is ahead
  bool isOverPlan = false;
  bool isPastTarget = false;
  std::optional<Instant> wrappedAt;  // the actual end
  std::optional<Instant> earliestWrapAt;
  std::optional<Instant> latestWrapAt;
  std::optional<double> paceFactor;  // the forecast's scale

  bool operator==(const PaceReading&) const = default;

  static PaceReading empty() { return {}; }

  bool hasWrapped() const { return wrappedAt.has_value(); }
  // Both bounds are known and differ.
  bool hasRange() const { return earliestWrapAt && latestWrapAt && *earliestWrapAt != *latestWrapAt; }
  // The actual end when wrapped, else the expected one.
  std::optional<Instant> wrapTime() const { return wrappedAt ? wrappedAt : estimatedWrapAt; }
  std::string_view wrapLabel() const { return hasWrapped() ? "Wrapped" : "Estimated wrap"; }
  std::string_view shortWrapLabel() const { return hasWrapped() ? "Wrapped" : "Est. wrap"; }
};

namespace PaceMath {

PaceReading reading(const PaceInput& input);

}  // namespace PaceMath
}  // namespace vantle::core
