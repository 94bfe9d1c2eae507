#include "core/shot_clock.h"

#include <algorithm>
#include <vector>

namespace vantle::core {

bool ShotClock::isWaiting(Instant now) const {
  return lastActivityAt && secondsBetween(*lastActivityAt, now) > idleThreshold;
}

double ShotClock::idle(Instant now) const {
  const double gap = lastActivityAt ? idleOfGap(*lastActivityAt, now, idleThreshold) : 0;
  return idleBanked + gap;
}

double ShotClock::elapsed(Instant now) const {
  if (!openedAt) return accumulated;
  return accumulated + std::max(0.0, secondsBetween(*openedAt, now) - idle(now));
}

DayTiming DayTiming::summing(std::span<const ShotSegmentRecord> records, int64_t distinctShots) {
  std::vector<const ShotSegmentRecord*> byOpening;
  byOpening.reserve(records.size());
  for (const ShotSegmentRecord& r : records) byOpening.push_back(&r);
  std::stable_sort(byOpening.begin(), byOpening.end(),
                   [](const auto* a, const auto* b) { return a->openedAt < b->openedAt; });

  DayTiming day;
  day.shotsCompleted = distinctShots;
  for (size_t i = 0; i < byOpening.size(); ++i) {
    const ShotSegmentRecord& r = *byOpening[i];
    if (i > 0) {
      day.totalUntracked += std::max(0.0, secondsBetween(byOpening[i - 1]->closedAt, r.openedAt));
    }
    day.totalShotTime += r.activeTime();
    day.totalBetween += r.betweenTime();
  }
  return day;
}

std::optional<double> DayTiming::averageShotTime() const {
  if (shotsCompleted <= 0) return std::nullopt;
  return totalShotTime / static_cast<double>(shotsCompleted);
}

std::optional<double> DayTiming::averageShotCost() const {
  if (shotsCompleted <= 0) return std::nullopt;
  return (totalShotTime + totalUntracked) / static_cast<double>(shotsCompleted);
}

double DayTiming::totalWorking() const { return std::max(0.0, totalShotTime - totalBetween); }

double DayTiming::betweenShare() const {
  if (!(totalShotTime > 0)) return 0.2;
  return std::clamp(totalBetween / totalShotTime, 0.0, 1.0);
}

}  // namespace vantle::core
