// The wall clock, behind an interface so tests can move time themselves.
#pragma once

#include "core/instant.h"

namespace vantle::agent {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual core::Instant now() const = 0;

  // The system's wall clock; lives for the whole process.
  static const Clock& system();
};

}  // namespace vantle::agent
