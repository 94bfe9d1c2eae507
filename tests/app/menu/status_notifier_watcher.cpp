#include "tests/app/menu/status_notifier_watcher.h"

#include <chrono>
#include <future>

namespace vantle::testing {
namespace {

constexpr const char* kName = "org.kde.StatusNotifierWatcher";
constexpr const char* kPath = "/StatusNotifierWatcher";
constexpr const char* kInterface = "org.kde.StatusNotifierWatcher";
// Where an item lives when it registers by bus name alone.
constexpr const char* kItemPath = "/StatusNotifierItem";

int alwaysTrue(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  return sd_bus_message_append(reply, "b", 1);
}

int protocolVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
  return sd_bus_message_append(reply, "i", 0);
}

}  // namespace

StatusNotifierWatcher::StatusNotifierWatcher() {
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", &StatusNotifierWatcher::registerItem,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", &StatusNotifierWatcher::registerHost,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", &StatusNotifierWatcher::itemsProperty, 0, 0),
      SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", &alwaysTrue, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("ProtocolVersion", "i", &protocolVersion, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
      SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
      SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
      SD_BUS_SIGNAL("StatusNotifierHostUnregistered", "", 0),
      SD_BUS_VTABLE_END,
  };
  std::promise<bool> started;
  std::future<bool> result = started.get_future();
  thread_ = std::thread([this, &started] {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    const bool ok = sd_bus_open_user(&bus) >= 0 &&
                    sd_bus_add_object_vtable(bus, &slot, kPath, kInterface, vtable, this) >= 0 &&
                    sd_bus_request_name(bus, kName, 0) >= 0;
    started.set_value(ok);
    while (ok && !stop_) {
      const int processed = sd_bus_process(bus, nullptr);
      if (processed < 0) break;
      if (processed == 0) sd_bus_wait(bus, 20'000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  });
  ready_ = result.get();
}

StatusNotifierWatcher::~StatusNotifierWatcher() {
  stop_ = true;
  thread_.join();
}

std::optional<StatusNotifierWatcher::Item> StatusNotifierWatcher::waitForItem(double seconds) {
  std::unique_lock lock(mutex_);
  registered_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return !items_.empty(); });
  if (items_.empty()) return std::nullopt;
  return items_.front();
}

int StatusNotifierWatcher::registerItem(sd_bus_message* call, void* self, sd_bus_error*) {
  auto& watcher = *static_cast<StatusNotifierWatcher*>(self);
  const char* given = nullptr;
  if (const int r = sd_bus_message_read(call, "s", &given); r < 0) return r;
  // An item names either its bus name (its object then at the usual path)
  // or, from its own connection, an object path.
  const char* sender = sd_bus_message_get_sender(call);
  const std::string text = given;
  Item item = text.starts_with('/') ? Item{sender ? sender : "", text} : Item{text, kItemPath};
  const std::string registration = item.service + item.path;
  {
    std::lock_guard lock(watcher.mutex_);
    watcher.items_.push_back(std::move(item));
    watcher.registrations_.push_back(registration);
  }
  watcher.registered_.notify_all();
  sd_bus* bus = sd_bus_message_get_bus(call);
  sd_bus_emit_signal(bus, kPath, kInterface, "StatusNotifierItemRegistered", "s", registration.c_str());
  return sd_bus_reply_method_return(call, "");
}

int StatusNotifierWatcher::registerHost(sd_bus_message* call, void*, sd_bus_error*) {
  sd_bus_emit_signal(sd_bus_message_get_bus(call), kPath, kInterface, "StatusNotifierHostRegistered", "");
  return sd_bus_reply_method_return(call, "");
}

int StatusNotifierWatcher::itemsProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                                         void* self, sd_bus_error*) {
  auto& watcher = *static_cast<StatusNotifierWatcher*>(self);
  std::lock_guard lock(watcher.mutex_);
  if (const int r = sd_bus_message_open_container(reply, 'a', "s"); r < 0) return r;
  for (const std::string& registration : watcher.registrations_) {
    if (const int r = sd_bus_message_append(reply, "s", registration.c_str()); r < 0) return r;
  }
  return sd_bus_message_close_container(reply);
}

}  // namespace vantle::testing
