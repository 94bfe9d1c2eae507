// A clock that stands still until the test moves it. Thread-safe.
#pragma once

#include <mutex>

#include "agent/clock.h"
#include "tests/support/instants.h"

namespace vantle::testing {

class ManualClock final : public agent::Clock {
 public:
  explicit ManualClock(core::Instant start = at(0)) : now_(start) {}

  core::Instant now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void set(core::Instant to) {
    std::lock_guard lock(mutex_);
    now_ = to;
  }
  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    now_ = core::addingSeconds(now_, seconds);
  }

 private:
  mutable std::mutex mutex_;
  core::Instant now_;
};

}  // namespace vantle::testing
