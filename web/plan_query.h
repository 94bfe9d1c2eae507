// The pace of the day against a target a browser's viewer set: `GET /plan`.
//
// The viewer gives the day's target as looks or frames, and optionally the
// wrap time; the page keeps it and asks again as the day moves. The answer
// comes from the planning arithmetic over the agent's own facts. A frames
// target is turned into looks at the day's frames per look so far, and says
// so. Pure: the current instant comes in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/instant.h"
#include "core/snapshot.h"
#include "core/vantle_coding.h"

namespace vantle::web {

struct PlanTarget {
  enum class Unit { looks, frames };
  static constexpr int64_t largestCount = 100000;

  Unit unit = Unit::looks;
  int64_t count = 0;  // 1 … largestCount
  std::optional<core::Instant> wrapAt;

  // From the query's "looks" or "frames" (one of them, a whole number) and
  // "wrap" (milliseconds since the Unix epoch, optional); null when absent.
  // The error is a sentence for the page.
  static std::variant<PlanTarget, std::string> parse(const char* looks, const char* frames, const char* wrap);
};

// What the agent knows of the day: its latest snapshot and how long each of
// the shoot's closed shots took, in order.
struct PlanFacts {
  core::VantleSnapshot snapshot;
  std::vector<double> shotDurations;
};

core::Json planJson(const PlanTarget& target, const PlanFacts& facts, core::Instant now);

}  // namespace vantle::web
