// Keeping the computer from idle sleep while the agent runs.
//
// `IdleSleepInhibitor` is what the controller needs: `begin` takes an
// activity that holds off idle sleep until it is destroyed.
// `LogindIdleSleepInhibitor` is the real one: it asks systemd-logind on the
// system bus for an "idle:sleep" block inhibitor and holds the descriptor
// logind hands back; closing that descriptor releases it. Without logind,
// `begin` answers a Failure saying so, and the agent runs on without it.
#pragma once

#include <memory>
#include <string>

#include "agent/desktop/dbus.h"
#include "agent/desktop/failure.h"

namespace vantle::agent {

// Holds off idle sleep for as long as it lives.
class IdleSleepActivity {
 public:
  virtual ~IdleSleepActivity() = default;
};

class IdleSleepInhibitor {
 public:
  virtual ~IdleSleepInhibitor() = default;

  // Starts an activity; `reason` is shown by the system to the user.
  // Blocks for at most a few seconds; thread-safe.
  virtual Result<std::unique_ptr<IdleSleepActivity>> begin(const std::string& reason) = 0;
};

class LogindIdleSleepInhibitor final : public IdleSleepInhibitor {
 public:
  // logind on the bus of `bus` kind: the system bus in the product.
  explicit LogindIdleSleepInhibitor(BusKind bus = BusKind::system) : bus_(bus) {}

  Result<std::unique_ptr<IdleSleepActivity>> begin(const std::string& reason) override;

 private:
  BusKind bus_;
};

}  // namespace vantle::agent
