// Whether a companion shows its launch splash.
//
// The gate only opens: a dormant companion that comes to the foreground moves
// to the splash. Moving on to ready is up to the view that shows the splash.
#pragma once

namespace vantle::core::LaunchGate {

enum class Stage { dormant, splash, ready };

constexpr Stage next(Stage from, bool inForeground) {
  return from == Stage::dormant && inForeground ? Stage::splash : from;
}

}  // namespace vantle::core::LaunchGate
