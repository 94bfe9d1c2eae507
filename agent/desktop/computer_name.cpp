#include "agent/desktop/computer_name.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>

#include "support/log.h"

namespace vantle::agent {
namespace {

bool blank(const std::optional<std::string>& name) {
  return !name || name->find_first_not_of(" \t\r\n") == std::string::npos;
}

std::optional<std::string> hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  return std::string(name);
}

}  // namespace

std::string HostnamedComputerName::chooseName(const std::optional<std::string>& prettyName,
                                              const std::optional<std::string>& hostName) {
  if (!blank(prettyName)) return *prettyName;
  if (!blank(hostName)) return *hostName;
  return "Mac";
}

std::string HostnamedComputerName::displayName() const { return chooseName(prettyName(), hostName()); }

std::optional<std::string> HostnamedComputerName::prettyName() const {
  Result<BusConnection> bus = openBus(bus_);
  if (!bus.ok()) {
    support::log::info("desktop", "No pretty computer name: " + bus.failure().description);
    return std::nullopt;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char* value = nullptr;
  const int result = sd_bus_get_property_string(bus.value().get(), "org.freedesktop.hostname1",
                                                "/org/freedesktop/hostname1", "org.freedesktop.hostname1",
                                                "PrettyHostname", &error, &value);
  if (result < 0) {
    support::log::info("desktop", "No pretty computer name: " + describeBusError(error, result));
    sd_bus_error_free(&error);
    return std::nullopt;
  }
  std::string name(value);
  std::free(value);
  return name;
}

}  // namespace vantle::agent
