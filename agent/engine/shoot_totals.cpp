#include "agent/engine/shoot_totals.h"

#include <algorithm>

#include "core/saturating.h"

namespace vantle::agent {

ShootTotals ShootTotals::restoring(const std::vector<core::WireSegment>& segments) {
  ShootTotals totals;
  std::vector<core::ShotSegmentRecord> records;
  records.reserve(segments.size());
  for (const core::WireSegment& segment : segments) {
    totals.completedShotPaths.insert(segment.path);
    totals.timeByPath[segment.path] += segment.activeTime;
    totals.framesFromClosedSegments = core::saturatingAdd(totals.framesFromClosedSegments, segment.framesAdded);
    if (!totals.firstCaptureAt || segment.openedAt < *totals.firstCaptureAt) totals.firstCaptureAt = segment.openedAt;
    if (!totals.lastSegmentClosedAt || segment.closedAt > *totals.lastSegmentClosedAt) {
      totals.lastSegmentClosedAt = segment.closedAt;
    }
    records.push_back(segment.record());
  }
  totals.dayTiming =
      core::DayTiming::summing(records, static_cast<int64_t>(totals.completedShotPaths.size()));
  return totals;
}

double ShootTotals::gapBefore(const core::ShotSegmentRecord& record) const {
  if (!lastSegmentClosedAt) return 0;
  return std::max(0.0, core::secondsBetween(*lastSegmentClosedAt, record.openedAt));
}

void ShootTotals::add(const core::ShotSegmentRecord& record, double gap) {
  completedShotPaths.insert(record.path);
  const double active = record.activeTime();
  timeByPath[record.path] += active;
  dayTiming.shotsCompleted = static_cast<int64_t>(completedShotPaths.size());
  dayTiming.totalShotTime += active;
  dayTiming.totalBetween += record.betweenTime();
  dayTiming.totalUntracked += gap;
  framesFromClosedSegments = core::saturatingAdd(framesFromClosedSegments, record.framesAdded());
  if (!firstCaptureAt) firstCaptureAt = record.openedAt;
}

double ShootTotals::timeIn(const std::optional<std::string>& path) const {
  if (!path) return 0;
  const auto found = timeByPath.find(*path);
  return found == timeByPath.end() ? 0 : found->second;
}

}  // namespace vantle::agent
