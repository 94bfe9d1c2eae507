// Per-job limits on the frame count of the open shot.
//
// A job may set a warning level and a danger level; a limit that is absent,
// 0 or negative is switched off. A count exactly at a limit is already at that
// level, and danger wins even when set below the warning level. crossing()
// tells a companion when to announce a level: once, on entering it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/enum_text.h"
#include "core/vantle_coding.h"

namespace vantle::core {

// Travels as the text of its case name (caseName, caseNamed).
enum class CountAlertLevel { normal, warn, danger };

template <>
struct EnumText<CountAlertLevel> {
  static constexpr std::array<std::string_view, 3> names{"normal", "warn", "danger"};
};

struct CountThresholds {
  std::optional<int64_t> warnAt;
  std::optional<int64_t> dangerAt;

  bool operator==(const CountThresholds&) const = default;

  CountAlertLevel level(int64_t count) const;

  // The job's own limits when it sets either of them, exactly as set (a job
  // with only a warning level has no danger level); otherwise the defaults.
  static CountThresholds resolve(std::optional<int64_t> jobWarn, std::optional<int64_t> jobDanger,
                                 std::optional<int64_t> defaultWarn,
                                 std::optional<int64_t> defaultDanger);

  // The level to announce when the count moves from `oldCount` to `newCount`:
  // danger on entering it, warn on entering the warning band from below or on
  // falling back into it from danger; nothing for staying at a level or for
  // falling below the warning level.
  std::optional<CountAlertLevel> crossing(int64_t oldCount, int64_t newCount) const;

  // {"warnAt": n, "dangerAt": n}, each key only when the limit is present.
  Json encode() const;
  // Reads both keys as optional whole numbers (missing or null is absent);
  // nullopt when `value` is not an object or a key holds anything else.
  static std::optional<CountThresholds> decode(const Json& value);
};

}  // namespace vantle::core
