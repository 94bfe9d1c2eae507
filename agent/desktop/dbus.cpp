#include "agent/desktop/dbus.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace vantle::agent {
namespace {

constexpr uint64_t callTimeoutMicroseconds = 5'000'000;

}  // namespace

void BusCloser::operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }

Result<BusConnection> openBus(BusKind kind) {
  sd_bus* bus = nullptr;
  const int result = kind == BusKind::system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
  if (result < 0) {
    const char* name = kind == BusKind::system ? "system" : "session";
    return Failure{std::string("The ") + name + " bus is not reachable: " + std::strerror(-result) + "."};
  }
  sd_bus_set_method_call_timeout(bus, callTimeoutMicroseconds);
  return BusConnection(bus);
}

std::string describeBusError(const sd_bus_error& error, int result) {
  if (error.message && error.message[0]) return error.message;
  if (error.name && error.name[0]) return error.name;
  return std::strerror(result < 0 ? -result : result);
}

bool isNoSuchService(const sd_bus_error& error) {
  return sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

}  // namespace vantle::agent
