// Declared breaks of a shoot day, and the long pauses that actually happened.
//
// A day may declare a lunch window and some minutes of extra break; pace
// arithmetic must not count that time against the crew. BreakLedger finds the
// long pauses in a list of worked stretches, leaving out any that fall into
// lunch so that lunch is never counted twice. Pure values: every instant is
// passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/instant.h"

namespace vantle::core {

struct LunchWindow {
  Instant startAt;
  Instant endAt;

  bool operator==(const LunchWindow&) const = default;

  // The window's length; 0 when it ends before it starts.
  double duration() const;
  // The part of lunch already used at `t`, within 0...duration.
  double taken(Instant t) const;
  // duration minus what is taken at `t`.
  double remaining(Instant t) const;
  // startAt <= t < endAt: the end itself is back at work.
  bool contains(Instant t) const;
  // Whether the stretch from `from` to `to` overlaps the window. Touching it
  // at a single instant is no overlap.
  bool overlaps(Instant from, Instant to) const;
};

struct BreakAllowance {
  std::optional<LunchWindow> lunch;
  std::optional<int64_t> extraMinutes;

  bool operator==(const BreakAllowance&) const = default;

  static BreakAllowance none() { return {}; }

  // extraMinutes in seconds; 0 when absent or not positive.
  double extraBudget() const;
  // Lunch length plus extraBudget.
  double budget() const;
  bool isEmpty() const { return budget() == 0; }
};

// One stretch of work whose banked idle is known (for a shot, its idle time).
struct BreakSpan {
  Instant openedAt;
  Instant closedAt;
  double idleTime = 0;

  bool operator==(const BreakSpan&) const = default;
};

namespace BreakLedger {

// From 20 minutes on, a pause is a long break.
inline constexpr double longBreak = 1200;

// Seconds of long breaks among `spans`, taken in the given order: each span's
// idle when it reaches `threshold`, plus each gap between neighbouring spans
// that reaches it. A pause that overlaps `lunch` is lunch itself and adds
// nothing; a gap that runs backwards (overlapping spans) is no pause.
double longBreaks(std::span<const BreakSpan> spans, const std::optional<LunchWindow>& lunch,
                  double threshold = longBreak);

}  // namespace BreakLedger
}  // namespace vantle::core
