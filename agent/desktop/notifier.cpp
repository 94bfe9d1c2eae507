#include "agent/desktop/notifier.h"

#include <systemd/sd-bus.h>

#include "support/log.h"
#include "support/weak.h"

namespace vantle::agent {
namespace {

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";
constexpr const char* serverInterface = "org.freedesktop.Notifications";

struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
};

}  // namespace

std::shared_ptr<DesktopNotifier> DesktopNotifier::create(BusKind bus) {
  return std::shared_ptr<DesktopNotifier>(new DesktopNotifier(bus));
}

DesktopNotifier::DesktopNotifier(BusKind bus) : busKind_(bus) {}

void DesktopNotifier::post(const std::string& title, const std::string& body) {
  queue_.post(support::weakly(shared_from_this(),
                              [title, body](DesktopNotifier& self) { self.postNow(title, body); }));
}

void DesktopNotifier::requestPermission(std::function<void(bool granted)> answer) {
  queue_.post(support::weakly(shared_from_this(), [answer = std::move(answer)](DesktopNotifier& self) {
    const bool granted = self.serverAnswers();
    if (answer) answer(granted);
  }));
}

Result<sd_bus*> DesktopNotifier::connection() {
  VANTLE_ON_QUEUE(queue_);
  if (!bus_) {
    Result<BusConnection> opened = openBus(busKind_);
    if (!opened.ok()) return opened.failure();
    bus_ = std::move(opened.value());
  }
  return bus_.get();
}

void DesktopNotifier::postNow(const std::string& title, const std::string& body) {
  VANTLE_ON_QUEUE(queue_);
  const Result<sd_bus*> bus = connection();
  if (!bus.ok()) {
    support::log::error("monitor", "Failed to send notification: " + bus.failure().description);
    return;
  }
  BusError error;
  // Replacing nothing (0), no icon, no actions, no hints, the server's own
  // expiry (-1): the server plays its default sound for a plain notification.
  const int result = sd_bus_call_method(bus.value(), serverName, serverPath, serverInterface, "Notify", &error.error,
                                        nullptr, "susssasa{sv}i", applicationName, 0u, "", title.c_str(),
                                        body.c_str(), 0, 0, -1);
  if (result < 0) {
    support::log::error("monitor", "Failed to send notification: " + describeBusError(error.error, result));
    bus_.reset();  // the next post starts from a fresh connection
  }
}

bool DesktopNotifier::serverAnswers() {
  VANTLE_ON_QUEUE(queue_);
  const Result<sd_bus*> bus = connection();
  if (!bus.ok()) {
    support::log::info("monitor", "Notifications cannot be shown: " + bus.failure().description);
    return false;
  }
  BusError error;
  sd_bus_message* reply = nullptr;
  const int result = sd_bus_call_method(bus.value(), serverName, serverPath, serverInterface, "GetCapabilities",
                                        &error.error, &reply, "");
  sd_bus_message_unref(reply);
  if (result < 0) {
    support::log::info("monitor", "Notifications cannot be shown: " + describeBusError(error.error, result));
    bus_.reset();
    return false;
  }
  return true;
}

}  // namespace vantle::agent
