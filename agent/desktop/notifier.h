// Desktop notifications: a title and a body shown to the user at once.
//
// `Notifier` is what the hardware monitor and the controller need;
// `DesktopNotifier` is the real one, a client of the freedesktop
// notification server (org.freedesktop.Notifications) on the session bus.
// Posting never blocks the caller and never fails loudly: the call runs on
// the notifier's own queue, and a missing bus or server is logged under the
// category "monitor" as "Failed to send notification: " and the reason.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "agent/desktop/dbus.h"
#include "support/serial_queue.h"

namespace vantle::agent {

class Notifier {
 public:
  virtual ~Notifier() = default;

  // Shows a notification now, with the server's default sound. Returns at
  // once; thread-safe.
  virtual void post(const std::string& title, const std::string& body) = 0;

  // Asks whether notifications can be shown: `answer` (optional) receives
  // true when a notification server is there to show them, on a queue of the
  // notifier's. On Linux there is nothing to grant, so this only finds out.
  // Returns at once.
  virtual void requestPermission(std::function<void(bool granted)> answer) = 0;
};

class DesktopNotifier final : public Notifier, public std::enable_shared_from_this<DesktopNotifier> {
 public:
  // The name the notification server shows as the sender.
  static constexpr const char* applicationName = "Orvane Live Agent";

  // A notifier talking to the bus of `bus` kind (the session bus in the
  // product; tests may point the session bus at a private one).
  static std::shared_ptr<DesktopNotifier> create(BusKind bus = BusKind::session);

  void post(const std::string& title, const std::string& body) override;
  void requestPermission(std::function<void(bool granted)> answer) override;

 private:
  explicit DesktopNotifier(BusKind bus);

  // On the queue: the open connection, or a new one after the last failed.
  Result<sd_bus*> connection();
  void postNow(const std::string& title, const std::string& body);
  bool serverAnswers();

  const BusKind busKind_;
  support::SerialQueue queue_{"com.orvane.vantle.notifications"};
  BusConnection bus_;  // touched only on queue_
};

}  // namespace vantle::agent
