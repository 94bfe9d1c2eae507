// Instants for tests, as seconds after a fixed, realistic moment.
#pragma once

#include "core/instant.h"

namespace vantle::testing {

// 2025-03-01T14:05:09Z, plus `seconds`.
inline core::Instant at(double seconds) { return core::instantFromUnix(1740837909.0 + seconds); }

}  // namespace vantle::testing
