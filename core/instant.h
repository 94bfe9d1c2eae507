// Instants and intervals as every core value uses them.
//
// An instant is a wall-clock time point; an interval is a number of seconds as
// a double. Nothing here reads a clock: callers pass every instant in.
#pragma once

#include <chrono>

namespace vantle::core {

using Instant = std::chrono::system_clock::time_point;

// Seconds from `from` to `to`; negative when `to` lies before `from`.
inline double secondsBetween(Instant from, Instant to) {
  return std::chrono::duration<double>(to - from).count();
}

// `at` moved by `seconds` (which may be negative or fractional).
inline Instant addingSeconds(Instant at, double seconds) {
  return at + std::chrono::duration_cast<Instant::duration>(std::chrono::duration<double>(seconds));
}

// The instant `seconds` after the Unix epoch.
inline Instant instantFromUnix(double seconds) { return addingSeconds(Instant{}, seconds); }

// The idle part of a gap between two activities: only the excess over the
// threshold counts, and a gap running backwards (a clock step) counts nothing.
inline double idleOfGap(Instant from, Instant to, double idleThreshold) {
  const double excess = secondsBetween(from, to) - idleThreshold;
  return excess > 0 ? excess : 0;
}

}  // namespace vantle::core
