// A private D-Bus session bus for a test process.
//
// Constructing a PrivateBus starts `dbus-daemon --session --nofork` as a
// child, waits until it prints its address, and points
// DBUS_SESSION_BUS_ADDRESS at it, so every session-bus connection the
// process (or a child it starts) opens afterwards reaches the private bus
// rather than the user's. Destruction stops the daemon, waits for it, and
// restores the variable as it was. The daemon also dies with the thread that
// started it, so a crashed test leaves nothing behind.
//
// Only one may live at a time in a process. Make and destroy it on the
// main thread while no other thread reads the environment: in a fixture's
// SetUpTestSuite and TearDownTestSuite, or around a whole test. When the
// daemon cannot be started, `available()` is false and `reason()` says why,
// for GTEST_SKIP.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vantle::testing {

class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool available() const { return !address_.empty(); }
  // The bus address, as DBUS_SESSION_BUS_ADDRESS now holds it.
  const std::string& address() const { return address_; }
  // Why the bus is not available; empty when it is.
  const std::string& reason() const { return reason_; }

 private:
  pid_t daemon_ = -1;
  std::string address_;
  std::string reason_;
  std::optional<std::string> previousAddress_;
};

}  // namespace vantle::testing
