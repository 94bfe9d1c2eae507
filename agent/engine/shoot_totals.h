// The running totals of one shoot, kept as its shots close.
//
// A plain value owned by the coordinator and used on its queue only. It can
// be rebuilt from the shoot's stored segments, so a restart or a resumed
// shoot comes back with the totals it had.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/instant.h"
#include "core/shot_clock.h"
#include "core/shot_tracker.h"
#include "core/wire_segment.h"

namespace vantle::agent {

struct ShootTotals {
  std::set<std::string> completedShotPaths;  // folders in which a shot closed, as the records name them
  std::map<std::string, double> timeByPath;  // active seconds spent in each of them
  core::DayTiming dayTiming;
  int64_t framesFromClosedSegments = 0;
  std::optional<core::Instant> firstCaptureAt;
  std::optional<core::Instant> lastSegmentClosedAt;

  bool operator==(const ShootTotals&) const = default;

  // The totals of a shoot whose segments these are (in any order).
  static ShootTotals restoring(const std::vector<core::WireSegment>& segments);

  // Seconds since the shoot's previous shot closed, to the opening of
  // `record`; 0 for the shoot's first shot or a clock that went back.
  double gapBefore(const core::ShotSegmentRecord& record) const;

  // Adds a closed shot that followed `gap` seconds of untracked time.
  void add(const core::ShotSegmentRecord& record, double gap);

  // Active seconds already spent in `path` during this shoot.
  double timeIn(const std::optional<std::string>& path) const;
};

}  // namespace vantle::agent
