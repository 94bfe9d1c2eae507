// The tray item as a desktop panel sees it: the real vantle-agent, as a menu
// bar application on an X display, registers its StatusNotifierItem with a
// watcher of the test's own on a private session bus; the test then reads
// the item's menu over com.canonical.dbusmenu, as a panel does (through
// busctl), and clicks an item through it.
//
// Runs under an X server of its own (with-xvfb), so the agent starts its
// graphical side; ctest runs it that way.
#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/menu/menu_application.h"
#include "app/menu/menu_model.h"
#include "tests/agent/desktop/test_bus_service.h"
#include "tests/support/live_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using agent::AgentController;

// Generous for a busy two-core machine running the agent under sanitizers.
constexpr double kStartSeconds = 60;
constexpr double kChangeSeconds = 30;

// A StatusNotifierWatcher of the test's own, standing in for a desktop
// panel's: it owns org.kde.StatusNotifierWatcher, says a host is registered,
// and records the first item that registers with it. Qt reads
// IsStatusNotifierHostRegistered through an introspected interface and
// decides there is no tray when the property is not listed, so the watcher
// answers introspection too.
class StatusNotifierWatcher {
 public:
  bool ready() const { return service_.ready(); }

  // The bus name of the first item registered (Qt registers its item by the
  // name that serves it, the object at the usual path), waiting up to
  // `seconds` for one.
  std::optional<std::string> waitForItem(double seconds) {
    std::unique_lock lock(mutex_);
    registered_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return item_.has_value(); });
    return item_;
  }

 private:
  static constexpr const char* kInterface = "org.kde.StatusNotifierWatcher";
  static constexpr const char* kIntrospection = R"(<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
 </interface>
</node>)";

  int answer(sd_bus_message* call) {
    if (sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Introspectable", "Introspect")) {
      return sd_bus_reply_method_return(call, "s", kIntrospection);
    }
    if (sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Properties", "Get")) {
      return sd_bus_reply_method_return(call, "v", "b", 1);  // the only property
    }
    if (!sd_bus_message_is_method_call(call, kInterface, "RegisterStatusNotifierItem")) return 0;
    const char* given = nullptr;
    if (const int r = sd_bus_message_read(call, "s", &given); r < 0) return r;
    {
      std::lock_guard lock(mutex_);
      if (!item_) item_ = given;
    }
    registered_.notify_all();
    return sd_bus_reply_method_return(call, "");
  }

  std::mutex mutex_;
  std::condition_variable registered_;
  std::optional<std::string> item_;
  // Last, so that it stops answering before the rest goes.
  TestBusService service_{"org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                          [this](sd_bus_message* call) { return answer(call); }};
};

// A panel's side of the conversation, through busctl on the test's bus:
// the reply as JSON (null for none), or nothing when the call failed.
std::optional<nlohmann::json> busctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--user", "--json=short", "--"});  // "-1" is no option
  LiveProcess call(VANTLE_BUSCTL_PATH, arguments);
  if (call.waitForExit(kChangeSeconds) != 0) return std::nullopt;
  const std::vector<std::string> out = call.outLines();
  return out.empty() ? nlohmann::json() : nlohmann::json::parse(out.front(), nullptr, false);
}

// What a panel shows, in menuLabels' form: depth first, dividers as "---",
// submenu entries indented by two blanks, hidden entries left out; and each
// entry by its label.
struct Shown {
  std::vector<std::string> labels;
  std::map<std::string, nlohmann::json> entries;

  // `children`: layout entries, each an (ia{sv}av) as busctl gives it: its
  // id, its properties ("label", "type", "visible"...) each with its "data",
  // and its children.
  void add(const nlohmann::json& children, const std::string& indent) {
    for (const nlohmann::json& child : children) {
      const nlohmann::json& entry = child.at("data");
      const nlohmann::json& properties = entry.at(1);
      const auto property = [&](const char* name, auto otherwise) {
        return properties.contains(name) ? properties[name].at("data").get<decltype(otherwise)>() : otherwise;
      };
      if (!property("visible", true)) continue;
      const bool separator = property("type", std::string()) == "separator";
      labels.push_back(indent + (separator ? "---" : property("label", std::string())));
      if (!separator) entries.insert_or_assign(labels.back(), entry);
      add(entry.at(2), indent + "  ");
    }
  }
};

// Reads the item's whole menu, as GetLayout(0, -1, []) gives it, again and
// again until `done` holds or `seconds` pass; returns the last menu read.
template <typename P>
Shown readUntil(const std::string& item, const std::string& menuPath, double seconds, P done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Shown shown;
  for (;;) {
    const auto reply = busctl({"call", item, menuPath, "com.canonical.dbusmenu", "GetLayout", "iias", "0",
                               "-1", "0"});
    if (reply && !reply->is_discarded() && !reply->is_null()) {
      shown = {};
      shown.add(reply->at("data").at(1).at(2), "");
      if (done(shown)) return shown;
    }
    if (std::chrono::steady_clock::now() > deadline) return shown;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The menu the model makes for `state`, with the pairing code (a random
// one) and the agent's last error taken from what is shown: the agent is
// given no system bus, so it reports that companions cannot find it by name,
// in words that are not the menu's. The error stands after the status line
// and its remedy.
std::vector<std::string> expectedLabels(AgentController::State state, const std::vector<std::string>& shown) {
  const std::regex codeLine("Pairing code  [0-9]{6}");
  for (const std::string& label : shown) {
    if (std::regex_match(label, codeLine)) state.pairingCode = label.substr(label.size() - 6);
  }
  const size_t errorAt = AgentController::remedyFor(state) ? 2 : 1;
  if (shown.size() > errorAt && shown[errorAt] != "---") state.lastError = shown[errorAt];
  app::MenuInputs inputs{.diskWarningThresholdGB = 0, .batteryWarningThreshold = 0, .version = app::versionText()};
  return app::menuLabels(app::buildMenu(state, inputs).items);
}

TEST(TrayOverDBus, APanelShowsTheRunningAgentsMenuAndItsStopStopsTheAgent) {
  PrivateBus bus;
  ASSERT_TRUE(bus.available()) << bus.reason();
  StatusNotifierWatcher watcher;
  ASSERT_TRUE(watcher.ready());

  TempFolder home;
  home.write("config/OrvaneVantle/defaults.json", R"({"diskWarningThresholdGB": 0, "macBatteryWarningThreshold": 0})");
  const fs::path runtime = home.folder("runtime");
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
  const fs::path shoot = home.folder("Shoot");
  // Qt keeps the introspection of the watcher, read when it looks for a
  // tray, in its session-bus connection, which it never frees at exit; in a
  // sanitizer build that would end the agent with a leak report. Allocations
  // made inside Qt's D-Bus module are its own (the agent never calls it), and
  // the sanitizer's quick stacks stop at Qt's frames, so the module is named.
  const fs::path suppressions = home.write("lsan.supp", "leak:libQt6DBus.so\n");
  const char* lsanOptions = std::getenv("LSAN_OPTIONS");
  const std::string leakOptions =
      (lsanOptions && *lsanOptions ? std::string(lsanOptions) + ":" : "") + "suppressions=" + suppressions.string();
  const LiveProcess::Environment environment{
      {"HOME", home.str()}, {"XDG_CONFIG_HOME", (home / "config").string()},
      {"XDG_DATA_HOME", (home / "data").string()}, {"XDG_CACHE_HOME", (home / "cache").string()},
      {"XDG_RUNTIME_DIR", runtime.string()}, {"VANTLE_STORAGE_ROOT", (home / "storage").string()},
      // Never the machine's logind or Avahi daemon.
      {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (home / "no-system-bus").string()},
      {"QT_QPA_PLATFORM", "xcb"}, {"LSAN_OPTIONS", leakOptions}};
  LiveProcess agent(VANTLE_AGENT_PATH,
                    {"--port", "0", "--watch", shoot.string(), "--stop-clock-after", "10", "--count-all"}, environment);

  const auto item = watcher.waitForItem(kStartSeconds);
  ASSERT_TRUE(item) << "the agent registered no tray item\n" << agent.transcript();
  // The item's "Menu" property: where its dbusmenu object lives.
  const auto menu = busctl({"get-property", *item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Menu"});
  ASSERT_TRUE(menu && menu->contains("data")) << "the item " << *item << " has no Menu";
  const std::string menuPath = menu->at("data");

  // Started, with an empty folder to watch (no frame yet), counting
  // every image, the clock stopping after ten minutes, no companion, and
  // opening at login, offered on the first launch.
  AgentController::State expected;
  expected.isRunning = true;
  expected.snapshot.status = core::AgentStatus::folderUnreadable;
  expected.watchedRoot = shoot;
  expected.waitingForFirstFrame = true;  // it can be read, and holds no frame yet
  expected.counting = core::FrameCountRule::CountingMode::anyImage;
  expected.idleThreshold = 600;
  expected.launchesAtLogin = true;
  Shown shown = readUntil(*item, menuPath, kStartSeconds,
                          [&](const Shown& s) { return s.labels == expectedLabels(expected, s.labels); });
  // The words are the model's (its own tests pin them down); the toggle
  // --count-all turned on shows as checked.
  ASSERT_EQ(shown.labels, expectedLabels(expected, shown.labels)) << agent.transcript();
  EXPECT_EQ(shown.entries.at("Count JPEGs Too").at(1).at("toggle-state").at("data"), 1);
  // Opening at login went to the temporary settings folder, nowhere else.
  EXPECT_TRUE(fs::exists(home / "config/autostart/orvane-vantle-agent.desktop"));

  ASSERT_TRUE(busctl({"call", *item, menuPath, "com.canonical.dbusmenu", "Event", "isvu",
                      shown.entries.at("Stop").at(0).dump(), "clicked", "i", "0",
                      std::to_string(std::time(nullptr))}));
  expected.isRunning = false;
  shown = readUntil(*item, menuPath, kChangeSeconds,
                    [&](const Shown& s) { return s.labels == expectedLabels(expected, s.labels); });
  EXPECT_EQ(shown.labels, expectedLabels(expected, shown.labels)) << agent.transcript();

  // `vantle-agent ctl` reaches the menu application as it does a headless agent.
  const auto ctl = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"ctl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    LiveProcess run(VANTLE_AGENT_PATH, command, environment);
    return run.waitForExit(kChangeSeconds).value_or(-1);
  };
  EXPECT_EQ(ctl({"start"}), 0);
  expected.isRunning = true;
  shown = readUntil(*item, menuPath, kChangeSeconds,
                    [&](const Shown& s) { return s.labels == expectedLabels(expected, s.labels); });
  EXPECT_EQ(shown.labels, expectedLabels(expected, shown.labels)) << agent.transcript();
  EXPECT_EQ(ctl({"show-qr"}), 0);
  // Settings through the bus show in the menu as if chosen there.
  const fs::path other = home.folder("Other Shoot");
  EXPECT_EQ(ctl({"count-all", "off"}), 0);
  EXPECT_EQ(ctl({"stop-clock-after", "20"}), 0);
  EXPECT_EQ(ctl({"watch", other.string()}), 0);
  expected.counting = core::FrameCountRule::CountingMode::rawOnly;
  expected.idleThreshold = 1200;
  expected.watchedRoot = other;
  shown = readUntil(*item, menuPath, kChangeSeconds,
                    [&](const Shown& s) { return s.labels == expectedLabels(expected, s.labels); });
  EXPECT_EQ(shown.labels, expectedLabels(expected, shown.labels)) << agent.transcript();
  EXPECT_EQ(shown.entries.at("Count JPEGs Too").at(1).at("toggle-state").at("data"), 0);
  // A second launch hands over to the first and goes.
  LiveProcess second(VANTLE_AGENT_PATH, {"--port", "0"}, environment);
  EXPECT_EQ(second.waitForExit(kChangeSeconds), 0) << second.transcript();
  EXPECT_TRUE(agent.running());

  // The session ending quits it as the menu's Quit would.
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(kChangeSeconds), 0) << agent.transcript();
}

}  // namespace
}  // namespace vantle::testing
