#include "core/planning/count_thresholds.h"

#include "core/json_fields.h"

namespace vantle::core {
namespace {

bool isOn(const std::optional<int64_t>& limit) { return limit && *limit > 0; }

bool reaches(const std::optional<int64_t>& limit, int64_t count) {
  return isOn(limit) && count >= *limit;
}

}  // namespace

CountAlertLevel CountThresholds::level(int64_t count) const {
  if (reaches(dangerAt, count)) return CountAlertLevel::danger;
  if (reaches(warnAt, count)) return CountAlertLevel::warn;
  return CountAlertLevel::normal;
}

CountThresholds CountThresholds::resolve(std::optional<int64_t> jobWarn,
                                         std::optional<int64_t> jobDanger,
                                         std::optional<int64_t> defaultWarn,
                                         std::optional<int64_t> defaultDanger) {
  if (!jobWarn && !jobDanger) return {defaultWarn, defaultDanger};
  return {jobWarn, jobDanger};
}

std::optional<CountAlertLevel> CountThresholds::crossing(int64_t oldCount, int64_t newCount) const {
  const bool newDanger = reaches(dangerAt, newCount);
  const bool newWarn = reaches(warnAt, newCount);
  if (reaches(dangerAt, oldCount)) {
    if (newDanger || !newWarn) return std::nullopt;
    return CountAlertLevel::warn;
  }
  if (newDanger) return CountAlertLevel::danger;
  if (newWarn && !reaches(warnAt, oldCount)) return CountAlertLevel::warn;
  return std::nullopt;
}

Json CountThresholds::encode() const {
  Json out = Json::object();
  if (warnAt) out["warnAt"] = *warnAt;
  if (dangerAt) out["dangerAt"] = *dangerAt;
  return out;
}

std::optional<CountThresholds> CountThresholds::decode(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  CountThresholds out;
  if (!json::readOptional(value, "warnAt", out.warnAt, json::asInt64) ||
      !json::readOptional(value, "dangerAt", out.dangerAt, json::asInt64)) {
    return std::nullopt;
  }
  return out;
}

}  // namespace vantle::core
