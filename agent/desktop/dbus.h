// Connections to the D-Bus system and session buses, through sd-bus.
//
// Each call opens a fresh connection that the caller owns. An sd-bus
// connection is not thread-safe: it stays with the queue that opened it and
// is closed there. Method calls on it give up after five seconds, so a
// wedged desktop daemon stalls its caller briefly rather than for sd-bus's
// default 25 seconds.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

#include "agent/desktop/failure.h"

namespace vantle::agent {

enum class BusKind { system, session };

struct BusCloser {
  void operator()(sd_bus* bus) const;
};
using BusConnection = std::unique_ptr<sd_bus, BusCloser>;

// A connection to the bus of that kind (the session bus is the one
// DBUS_SESSION_BUS_ADDRESS names, when set), or why there is none.
Result<BusConnection> openBus(BusKind kind);

// The clearest text for a failed call: the bus error's message when it has
// one, else the description of the negative errno `result`.
std::string describeBusError(const sd_bus_error& error, int result);

// Whether a failed call means nobody owns the name it was sent to.
bool isNoSuchService(const sd_bus_error& error);

}  // namespace vantle::agent
