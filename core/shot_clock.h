// The running clock of the open shot, and the day's totals over closed shots.
//
// Both are pure values without a clock of their own: every computation takes
// the current instant as an argument, so a companion can run the clock
// locally between snapshots and agree with the agent's records.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/instant.h"
#include "core/shot_tracker.h"

namespace vantle::core {

struct ShotClock {
  double accumulated = 0;  // working time banked for this folder in earlier visits
  std::optional<Instant> openedAt;  // absent when no shot is open
  double idleBanked = 0;            // idle already banked in the open shot
  std::optional<Instant> lastActivityAt;
  double idleThreshold = 300;

  bool operator==(const ShotClock&) const = default;

  bool isRunning() const { return openedAt.has_value(); }
  // Whether the current gap is longer than the idle threshold.
  bool isWaiting(Instant now) const;
  // Banked idle plus the idle of the current gap.
  double idle(Instant now) const;
  // Working time at `now`, `accumulated` included. It stops advancing once the
  // current gap passes the idle threshold and never falls below `accumulated`.
  double elapsed(Instant now) const;
};

struct DayTiming {
  int64_t shotsCompleted = 0;  // as given by the caller
  double totalShotTime = 0;    // sum of the shots' active time
  double totalBetween = 0;     // sum of the shots' setup time
  double totalUntracked = 0;   // sum of the gaps between shots

  bool operator==(const DayTiming&) const = default;

  static DayTiming empty() { return {}; }

  // Totals over `records`, whatever their order; `distinctShots` becomes
  // shotsCompleted (the caller's own count, not the number of records).
  static DayTiming summing(std::span<const ShotSegmentRecord> records, int64_t distinctShots);

  std::optional<double> averageShotTime() const;
  std::optional<double> averageShotCost() const;
  double totalWorking() const;
  // Share of setup in shot time, within 0...1; 0.2 before any shot time.
  double betweenShare() const;
};

}  // namespace vantle::core
