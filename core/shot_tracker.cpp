#include "core/shot_tracker.h"

#include <algorithm>

#include "core/saturating.h"
#include "core/unicode.h"

namespace vantle::core {
namespace {

bool sameDesignation(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return !a && !b;
  return canonicallyEqual(*a, *b);
}

double nonNegative(double v) { return v > 0 ? v : 0; }

}  // namespace

int64_t ShotSegmentRecord::framesAdded() const {
  return std::max<int64_t>(0, saturatingSub(endFrameCount, startFrameCount));
}

double ShotSegmentRecord::duration() const { return nonNegative(secondsBetween(openedAt, closedAt)); }

double ShotSegmentRecord::idleTime() const {
  return idleBeforeFirst + idleDuringCaptures + idleAfterLast;
}

double ShotSegmentRecord::activeTime() const { return nonNegative(duration() - idleTime()); }

double ShotSegmentRecord::betweenTime() const {
  if (!firstFrameAt) return activeTime();
  return nonNegative(secondsBetween(openedAt, *firstFrameAt) - idleBeforeFirst);
}

double ShotSegmentRecord::workingTime() const {
  if (!firstFrameAt) return 0;
  if (lastFrameAt && *lastFrameAt > *firstFrameAt) {
    return nonNegative(secondsBetween(*firstFrameAt, *lastFrameAt) - idleDuringCaptures);
  }
  return nonNegative(secondsBetween(*firstFrameAt, closedAt) - idleAfterLast);
}

double ShotSegmentRecord::trailingTime() const {
  if (!firstFrameAt || !lastFrameAt || !(*lastFrameAt > *firstFrameAt)) return 0;
  return nonNegative(secondsBetween(*lastFrameAt, closedAt) - idleAfterLast);
}

double ShotTracker::idleSince(const std::optional<Instant>& from, Instant to) const {
  return from ? idleOfGap(*from, to, idleThreshold) : 0;
}

bool ShotTracker::hasSeen(const std::string& path) const {
  return seenPaths.contains(canonicalForm(path));
}

std::vector<ShotEvent> ShotTracker::observe(const ShotObservation& o) {
  if (sameDesignation(o.designatedPath, openPath)) {
    // A flick elsewhere and back within the debounce leaves no trace.
    pendingPath.reset();
    pendingSince.reset();
    if (!openPath) return {};
    if (o.frameCount == lastCount) {
      if (o.lastFileName) lastFileName = o.lastFileName;
      return {};
    }
    if (o.frameCount > lastCount) {
      // Frames arrived; a falling count (deletions) is no activity.
      const double gap = idleSince(lastActivityAt, o.at);
      if (!firstFrameAt) {
        idleBeforeFirst += gap;
        firstFrameAt = o.at;
      } else {
        idleDuringCaptures += gap;
      }
      lastFrameAt = o.at;
      lastActivityAt = o.at;
    }
    lastCount = o.frameCount;
    if (o.lastFileName) lastFileName = o.lastFileName;
    return {CountChanged{*openPath, o.frameCount, o.at}};
  }

  const bool matchesPending = pendingPath.has_value() && sameDesignation(*pendingPath, o.designatedPath);
  if (!matchesPending) {
    // Starting a pending change never commits it, even with a debounce of 0.
    pendingPath = o.designatedPath;
    pendingSince = o.at;
    pendingStartCount = o.baselineHint.value_or(o.frameCount);
    pendingStartFileName = o.lastFileName;
    pendingLastCount = pendingStartCount;
    pendingFirstFrameAt.reset();
    pendingLastFrameAt.reset();
    return {};
  }

  if (o.frameCount > pendingLastCount) {
    if (!pendingFirstFrameAt) pendingFirstFrameAt = o.at;
    pendingLastFrameAt = o.at;
    pendingLastCount = o.frameCount;
  }
  if (secondsBetween(*pendingSince, o.at) < debounce) return {};
  return commit(o);
}

std::vector<ShotEvent> ShotTracker::commit(const ShotObservation& o) {
  const Instant t = *pendingSince;  // the new designation's first sighting
  const int64_t keptStartCount = pendingStartCount;
  const std::optional<std::string> keptStartFileName = pendingStartFileName;
  pendingPath.reset();
  pendingSince.reset();

  std::vector<ShotEvent> events;
  if (openPath && openedAt && lastCount >= 1) {
    events.push_back(ShotClosed{closingRecord(t)});
  }

  if (!o.designatedPath) {
    clearOpenShot();
    events.push_back(DesignationLost{o.at});
    return events;
  }

  const std::string& path = *o.designatedPath;
  const bool isRevisit = !seenPaths.insert(canonicalForm(path)).second;
  openPath = path;
  openedAt = t;
  // Deletions during the debounce lower the start; additions count for the shot.
  startFrameCount = std::min(o.frameCount, keptStartCount);
  lastCount = o.frameCount;
  lastFileName = o.lastFileName ? o.lastFileName : keptStartFileName;
  firstFrameAt = pendingFirstFrameAt;
  lastFrameAt = pendingLastFrameAt;
  lastActivityAt = pendingLastFrameAt ? pendingLastFrameAt : std::optional<Instant>(t);
  idleBeforeFirst = 0;
  idleDuringCaptures = 0;
  events.push_back(ShotOpened{path, t, startFrameCount, isRevisit});
  return events;
}

ShotSegmentRecord ShotTracker::closingRecord(Instant at) const {
  const double tail = idleSince(lastActivityAt, at);
  ShotSegmentRecord r;
  r.path = *openPath;
  r.openedAt = *openedAt;
  r.closedAt = at;
  r.startFrameCount = startFrameCount;
  r.endFrameCount = lastCount;
  r.lastFileName = lastFileName;
  r.firstFrameAt = firstFrameAt;
  r.lastFrameAt = lastFrameAt;
  r.idleBeforeFirst = firstFrameAt ? idleBeforeFirst : tail;
  r.idleDuringCaptures = idleDuringCaptures;
  r.idleAfterLast = firstFrameAt ? tail : 0;
  return r;
}

void ShotTracker::clearOpenShot() {
  openPath.reset();
  openedAt.reset();
  lastFileName.reset();
  firstFrameAt.reset();
  lastFrameAt.reset();
  lastActivityAt.reset();
  startFrameCount = 0;
  lastCount = 0;
  idleBeforeFirst = 0;
  idleDuringCaptures = 0;
}

std::optional<ShotSegmentRecord> ShotTracker::closeCurrent(Instant at) {
  if (openPath && openedAt && lastCount > 0) {
    ShotSegmentRecord record = closingRecord(at);
    clearOpenShot();
    return record;
  }
  // The other per-shot fields are overwritten when the next shot opens.
  openPath.reset();
  openedAt.reset();
  return std::nullopt;
}

}  // namespace vantle::core
