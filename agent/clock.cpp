#include "agent/clock.h"

#include <chrono>

namespace vantle::agent {
namespace {

class SystemClock final : public Clock {
 public:
  core::Instant now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace

const Clock& Clock::system() {
  static const SystemClock clock;
  return clock;
}

}  // namespace vantle::agent
