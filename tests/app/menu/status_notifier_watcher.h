// A StatusNotifierWatcher of the test's own, standing in for a desktop
// panel's: it owns org.kde.StatusNotifierWatcher on the session bus (in
// tests, a PrivateBus), says a host is registered, and records every item
// that registers with it.
//
// Its object is an sd-bus vtable, so it answers introspection with its
// methods, properties and signals: Qt reads IsStatusNotifierHostRegistered
// through an introspected interface and decides there is no tray when the
// property is not listed. It runs on its own thread; destruction stops the
// thread and releases the name.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantle::testing {

class StatusNotifierWatcher {
 public:
  // A registered item: the bus name that serves it and its object path.
  struct Item {
    std::string service;
    std::string path;
  };

  StatusNotifierWatcher();
  ~StatusNotifierWatcher();
  StatusNotifierWatcher(const StatusNotifierWatcher&) = delete;
  StatusNotifierWatcher& operator=(const StatusNotifierWatcher&) = delete;

  // Whether the name was taken and calls are being answered.
  bool ready() const { return ready_; }

  // The first item registered, waiting up to `seconds` for one.
  std::optional<Item> waitForItem(double seconds);

 private:
  static int registerItem(sd_bus_message* call, void* self, sd_bus_error* error);
  static int registerHost(sd_bus_message* call, void* self, sd_bus_error* error);
  static int itemsProperty(sd_bus* bus, const char* path, const char* interface, const char* property,
                           sd_bus_message* reply, void* self, sd_bus_error* error);

  std::atomic<bool> stop_{false};
  bool ready_ = false;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable registered_;
  std::vector<Item> items_;
  std::vector<std::string> registrations_;  // as the items gave them, for RegisteredStatusNotifierItems
};

}  // namespace vantle::testing
