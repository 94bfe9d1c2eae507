// Moving an instant by a computed number of seconds, safely.
//
// Forecasts multiply counts that come from people (a plan of a billion shots)
// and JSON numbers come from peers; an Instant holds only about 292 years
// either side of 1970, and stepping past that would overflow.
#pragma once

#include <chrono>
#include <cmath>
#include <optional>

#include "core/instant.h"

namespace vantle::core {

// `at` moved by `seconds`; nullopt when `seconds` is not finite or the result
// falls outside the range of an Instant.
inline std::optional<Instant> offsetInstant(Instant at, double seconds) {
  using Seconds = std::chrono::duration<double>;
  const double limit = Seconds(Instant::duration::max()).count() * (1 - 1e-6);
  const double target = Seconds(at.time_since_epoch()).count() + seconds;
  if (!std::isfinite(seconds) || !(std::abs(target) < limit)) return std::nullopt;
  return addingSeconds(at, seconds);
}

}  // namespace vantle::core
