#include "web/plan_query.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/planning/pace_reading.h"
#include "core/planning/shot_curve.h"
#include "web/live_view.h"

namespace vantle::web {

namespace {

// A whole number of at most 15 digits, nothing else.
std::optional<int64_t> wholeNumber(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > 15) return std::nullopt;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text, text + length, value);
  if (error != std::errc() || end != text + length || value < 0) return std::nullopt;
  return value;
}

}  // namespace

std::variant<PlanTarget, std::string> PlanTarget::parse(const char* looks, const char* frames, const char* wrap) {
  if ((looks != nullptr) == (frames != nullptr)) return std::string("Give the day's target in looks or in frames.");
  PlanTarget target;
  target.unit = looks ? Unit::looks : Unit::frames;
  const std::optional<int64_t> count = wholeNumber(looks ? looks : frames);
  if (!count || *count < 1 || *count > largestCount) {
    return "The target must be a whole number from 1 to " + std::to_string(largestCount) + ".";
  }
  target.count = *count;
  if (wrap && *wrap) {
    // Between the years 2000 and 2100: anything else is not a wrap time.
    const std::optional<int64_t> millis = wholeNumber(wrap);
    if (!millis || *millis < 946684800000 || *millis > 4102444800000)
      return std::string("The wrap time is not a time of day.");
    target.wrapAt = core::Instant{} + std::chrono::milliseconds(*millis);
  }
  return target;
}

core::Json planJson(const PlanTarget& target, const PlanFacts& facts, core::Instant now) {
  const core::VantleSnapshot& day = facts.snapshot;
  std::optional<int64_t> plannedLooks;
  if (target.unit == PlanTarget::Unit::looks) {
    plannedLooks = target.count;
  } else if (day.shotsCompleted > 0 && day.framesThisShoot > 0) {
    const double framesPerLook = double(day.framesThisShoot) / double(day.shotsCompleted);
    plannedLooks = int64_t(std::ceil(double(target.count) / framesPerLook));
  }

  core::PaceInput input;
  input.firstCaptureAt = day.firstCaptureAt;
  input.now = now;
  input.shotsCompleted = day.shotsCompleted;
  input.plannedShotCount = plannedLooks;
  input.targetWrapAt = target.wrapAt;
  const int64_t planned = plannedLooks.value_or(0);
  for (size_t i = 0; i < facts.shotDurations.size(); ++i) {
    input.observedShots.push_back({core::ShotCurve::progress(int64_t(i), planned), facts.shotDurations[i]});
  }
  const core::PaceReading reading = core::PaceMath::reading(input);

  core::Json reply;
  reply["unit"] = target.unit == PlanTarget::Unit::looks ? "looks" : "frames";
  reply["target"] = target.count;
  reply["wrapAt"] = millisOrNull(target.wrapAt);
  reply["plannedLooks"] = orNull(plannedLooks);
  reply["looksEstimated"] = target.unit == PlanTarget::Unit::frames && plannedLooks.has_value();
  reply["framesRemaining"] = target.unit == PlanTarget::Unit::frames
                                 ? core::Json(std::max<int64_t>(0, target.count - day.framesThisShoot))
                                 : core::Json(nullptr);
  reply["shotsCompleted"] = day.shotsCompleted;
  reply["elapsed"] = orNull(reading.elapsed);
  reply["averagePace"] = orNull(reading.averagePace);
  reply["shotsRemaining"] = orNull(reading.shotsRemaining);
  reply["requiredPace"] = orNull(reading.requiredPace);
  reply["slack"] = orNull(reading.slack);
  reply["isOverPlan"] = reading.isOverPlan;
  reply["isPastTarget"] = reading.isPastTarget;
  reply["wrapLabel"] = std::string(reading.wrapLabel());
  reply["wrapTime"] = millisOrNull(reading.wrapTime());
  reply["earliestWrapAt"] = millisOrNull(reading.earliestWrapAt);
  reply["latestWrapAt"] = millisOrNull(reading.latestWrapAt);
  return reply;
}

}  // namespace vantle::web
