// The desktop services that speak D-Bus, against services the test runs on
// a private session bus.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "agent/desktop/computer_name.h"
#include "agent/desktop/notifier.h"
#include "agent/desktop/sleep_inhibitor.h"
#include "tests/agent/desktop/test_bus_service.h"
#include "tests/agent/folders/fixtures/recorder.h"
#include "tests/support/eventually.h"
#include "tests/support/private_bus.h"

namespace vantle::agent {
namespace {

using ::testing::ElementsAre;
using testing::eventually;
using testing::TestBusService;

// Every call a stand-in service received, as its text arguments.
using Calls = testing::Recorder<std::vector<std::string>>;

// Records what a notification server would show: sender, summary, body.
int notificationServer(Calls& calls, sd_bus_message* call) {
  if (sd_bus_message_is_method_call(call, "org.freedesktop.Notifications", "GetCapabilities")) {
    return sd_bus_reply_method_return(call, "as", 1, "body");
  }
  if (!sd_bus_message_is_method_call(call, "org.freedesktop.Notifications", "Notify")) return 0;
  const char *application, *icon, *summary, *body;
  uint32_t replaces;
  int32_t expiry;
  if (sd_bus_message_read(call, "susss", &application, &replaces, &icon, &summary, &body) < 0 ||
      sd_bus_message_skip(call, "asa{sv}") < 0 || sd_bus_message_read(call, "i", &expiry) < 0) {
    return -EINVAL;
  }
  calls.add({application, std::to_string(replaces), summary, body, std::to_string(expiry)});
  return sd_bus_reply_method_return(call, "u", 7u);
}

class DesktopBus : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bus_ = new testing::PrivateBus; }
  static void TearDownTestSuite() { delete bus_; }
  void SetUp() override {
    if (!bus_->available()) GTEST_SKIP() << bus_->reason();
  }

  static inline testing::PrivateBus* bus_ = nullptr;
};

TEST_F(DesktopBus, NotificationsReachTheServerOnceItAppears) {
  const auto notifier = DesktopNotifier::create(BusKind::session);
  std::atomic<int> granted{-1};
  notifier->post("Low Disk Space", "Only 12.3 GB remaining.");  // nobody to show it
  notifier->requestPermission([&](bool answer) { granted = answer; });  // answered after the post
  ASSERT_TRUE(eventually([&] { return granted == 0; }));

  // The server appears later; the same notifier reaches it.
  Calls calls;
  TestBusService server("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                        [&](sd_bus_message* call) { return notificationServer(calls, call); });
  ASSERT_TRUE(server.ready());
  notifier->requestPermission([&](bool answer) { granted = answer; });
  notifier->post("Low Battery", "12% left.");
  ASSERT_TRUE(calls.waitFor(1));
  EXPECT_THAT(calls.values(),
              ElementsAre(ElementsAre("Orvane Live Agent", "0", "Low Battery", "12% left.", "-1")));
  EXPECT_TRUE(eventually([&] { return granted == 1; }));
}

TEST_F(DesktopBus, IdleSleepIsInhibitedUntilTheActivityEnds) {
  const auto withoutLogind = LogindIdleSleepInhibitor(BusKind::session).begin("Counting frames for a tethered shoot");
  ASSERT_FALSE(withoutLogind.ok());
  EXPECT_EQ(withoutLogind.failure().description, "Idle sleep cannot be prevented: systemd-logind is not running.");

  // Stands in for logind: answers the write end of a pipe whose read end
  // sees a hang-up once the client lets go.
  Calls calls;
  std::atomic<int> readEnd{-1};
  TestBusService logind("org.freedesktop.login1", "/org/freedesktop/login1", [&](sd_bus_message* call) {
    const char *what, *who, *why, *mode;
    int ends[2];
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0 || pipe2(ends, O_CLOEXEC) != 0) return -EIO;
    calls.add({sd_bus_message_get_member(call), what, who, why, mode});
    readEnd = ends[0];
    const int replied = sd_bus_reply_method_return(call, "h", ends[1]);  // sends a copy
    close(ends[1]);
    return replied;
  });
  ASSERT_TRUE(logind.ready());
  const auto held = [&] {
    pollfd end{readEnd, POLLIN, 0};
    return poll(&end, 1, 0) == 0;
  };

  auto activity = LogindIdleSleepInhibitor(BusKind::session).begin("Counting frames for a tethered shoot");
  ASSERT_TRUE(activity.ok()) << activity.failure().description;
  EXPECT_THAT(calls.values(), ElementsAre(ElementsAre("Inhibit", "idle:sleep", "Orvane Live Agent",
                                                   "Counting frames for a tethered shoot", "block")));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(held());  // well after the bus daemon let go of its own copy
  activity.value().reset();
  EXPECT_TRUE(eventually([&] { return !held(); }));
  close(readEnd);
}

TEST_F(DesktopBus, ComputerNameIsThePrettyNameElseTheHostName) {
  EXPECT_FALSE(HostnamedComputerName(BusKind::session).displayName().empty());  // no hostnamed

  TestBusService hostnamed("org.freedesktop.hostname1", "/org/freedesktop/hostname1", [](sd_bus_message* call) {
    const char *interface, *property;
    if (sd_bus_message_read(call, "ss", &interface, &property) < 0) return -EINVAL;
    return sd_bus_reply_method_return(call, "v", "s", "Studio Mac — Bay 2");
  });
  ASSERT_TRUE(hostnamed.ready());
  EXPECT_EQ(HostnamedComputerName(BusKind::session).displayName(), "Studio Mac — Bay 2");
}

}  // namespace
}  // namespace vantle::agent
