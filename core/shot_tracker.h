// The shot tracker: turns readings of the designated folder into shots.
//
// One shot is one visit of the designation to one folder. Feed the tracker one
// ShotObservation after every reading; it answers with the events that the
// reading caused. A new designation is debounced: it becomes a shot only after
// it has been seen for `debounce` seconds, and the shot is then dated from its
// first sighting, with frames that arrived meanwhile counted in it. Gaps
// between activities longer than `idleThreshold` bank their excess as idle.
//
// The tracker is a plain value: no clock, no timers, no I/O, no locks. Its
// owner keeps it on one thread. Paths are compared under Unicode canonical
// equivalence; callers pass canonical paths.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/instant.h"

namespace vantle::core {

// One reading of the designation.
struct ShotObservation {
  std::optional<std::string> designatedPath;  // absent when nothing is designated
  int64_t frameCount = 0;                     // frames there now; 0 when nothing is designated
  // The count already known for this folder when it became designated; when
  // present it is the start count of a shot this observation begins.
  std::optional<int64_t> baselineHint;
  std::optional<std::string> lastFileName;  // newest frame's name, when known
  Instant at;

  bool operator==(const ShotObservation&) const = default;
};

// The complete record of one closed shot.
struct ShotSegmentRecord {
  std::string path;
  Instant openedAt;
  Instant closedAt;
  int64_t startFrameCount = 0;
  int64_t endFrameCount = 0;
  std::optional<std::string> lastFileName;
  std::optional<Instant> firstFrameAt;  // first observation in which the count rose
  std::optional<Instant> lastFrameAt;   // last observation in which the count rose
  double idleBeforeFirst = 0;  // the whole visit's idle when no frame was added
  double idleDuringCaptures = 0;
  double idleAfterLast = 0;

  bool operator==(const ShotSegmentRecord&) const = default;

  // end − start, never below 0 (and clamped to the 64-bit range).
  int64_t framesAdded() const;
  // closedAt − openedAt in seconds, never below 0.
  double duration() const;
  double idleTime() const;
  // duration − idle, never below 0: the working time of the shot.
  double activeTime() const;
  // Setup time before the first frame; the whole active time without frames.
  double betweenTime() const;
  // Active time from the first to the last frame (or to the close for a shot
  // with one frame time only); 0 without frames.
  double workingTime() const;
  // Active time from the last frame to the close; 0 unless the last frame
  // came after the first.
  double trailingTime() const;
};

struct ShotOpened {
  std::string path;
  Instant at;
  int64_t startFrameCount = 0;
  bool isRevisit = false;  // this path has had a shot before in this tracker's life
  bool operator==(const ShotOpened&) const = default;
};

struct CountChanged {
  std::string path;
  int64_t count = 0;
  Instant at;
  bool operator==(const CountChanged&) const = default;
};

struct ShotClosed {
  ShotSegmentRecord record;
  bool operator==(const ShotClosed&) const = default;
};

struct DesignationLost {
  Instant at;  // the observation that confirmed the loss
  bool operator==(const DesignationLost&) const = default;
};

using ShotEvent = std::variant<ShotOpened, CountChanged, ShotClosed, DesignationLost>;

class ShotTracker {
 public:
  // The three states of a waiting designation: no pending change (nullopt), a
  // pending change to nothing designated (a present, empty inner value), or a
  // pending change to a path.
  using PendingPath = std::optional<std::optional<std::string>>;

  ShotTracker(double debounce, double idleThreshold)
      : idleThreshold(idleThreshold), debounce(debounce) {}

  // Applies one reading and returns what happened, in order: nothing, one
  // event, or a shotClosed followed by shotOpened or designationLost.
  std::vector<ShotEvent> observe(const ShotObservation& o);

  // Ends the open shot at `at` for a caller that stops tracking. Returns its
  // record when the folder held frames. Seen paths and any pending change stay.
  std::optional<ShotSegmentRecord> closeCurrent(Instant at);

  // Idle banked in the open shot so far, without the current gap.
  double currentIdle() const { return idleBeforeFirst + idleDuringCaptures; }
  bool hasSeen(const std::string& path) const;
  int64_t currentCount() const { return lastCount; }
  std::optional<Instant> currentOpenedAt() const { return openedAt; }
  std::optional<Instant> currentLastActivityAt() const { return lastActivityAt; }

  // Plain fields, as the owner may read and set them; a change of either
  // setting takes effect with the next observation.
  double idleThreshold;
  double debounce;

  std::optional<std::string> openPath;
  std::optional<Instant> openedAt;
  int64_t startFrameCount = 0;
  int64_t lastCount = 0;
  std::optional<std::string> lastFileName;
  std::optional<Instant> firstFrameAt;
  std::optional<Instant> lastFrameAt;
  std::optional<Instant> lastActivityAt;
  double idleBeforeFirst = 0;
  double idleDuringCaptures = 0;
  std::set<std::string> seenPaths;  // canonical composed forms

  PendingPath pendingPath;
  std::optional<Instant> pendingSince;
  int64_t pendingStartCount = 0;
  std::optional<std::string> pendingStartFileName;
  int64_t pendingLastCount = 0;
  std::optional<Instant> pendingFirstFrameAt;
  std::optional<Instant> pendingLastFrameAt;

 private:
  std::vector<ShotEvent> commit(const ShotObservation& o);
  ShotSegmentRecord closingRecord(Instant at) const;
  void clearOpenShot();
  double idleSince(const std::optional<Instant>& from, Instant to) const;
};

}  // namespace vantle::core
