// The tray item as a desktop panel sees it: the real vantle-agent, as a menu
// bar application on an X display, registers its StatusNotifierItem with a
// watcher of the test's own on a private session bus; the test then reads
// the item's menu over com.canonical.dbusmenu, as a panel does (through
// busctl), and clicks an item through it.
//
// Runs under an X server of its own (with-xvfb), so the agent starts its
// graphical side; ctest runs it that way.
#include <gmock/gmock.h>
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
  // A registered item: the bus name that serves it and its object path.
  struct Item {
    std::string service;
    std::string path;
  };

  bool ready() const { return service_.ready(); }

  // The first item registered, waiting up to `seconds` for one.
  std::optional<Item> waitForItem(double seconds) {
    std::unique_lock lock(mutex_);
    registered_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return item_.has_value(); });
    return item_;
  }

 private:
  static constexpr const char* kInterface = "org.kde.StatusNotifierWatcher";
  static constexpr const char* kIntrospection = R"(<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
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
    if (sd_bus_message_is_method_call(call, kInterface, "RegisterStatusNotifierHost")) {
      return sd_bus_reply_method_return(call, "");
    }
    if (!sd_bus_message_is_method_call(call, kInterface, "RegisterStatusNotifierItem")) return 0;
    const char* given = nullptr;
    if (const int r = sd_bus_message_read(call, "s", &given); r < 0) return r;
    // An item names either its bus name (its object then at the usual path)
    // or, from its own connection, an object path.
    const std::string text = given;
    const char* sender = sd_bus_message_get_sender(call);
    {
      std::lock_guard lock(mutex_);
      if (!item_) item_ = text.starts_with('/') ? Item{sender ? sender : "", text} : Item{text, "/StatusNotifierItem"};
    }
    registered_.notify_all();
    return sd_bus_reply_method_return(call, "");
  }

  std::mutex mutex_;
  std::condition_variable registered_;
  std::optional<Item> item_;
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

// One entry of a dbusmenu layout, an (ia{sv}av) as busctl gives it: its id,
// its properties ("label", "type", "enabled", "toggle-state"...) each with
// its "data", and its children.
struct MenuNode {
  int id = 0;
  nlohmann::json properties;
  std::vector<MenuNode> children;

  explicit MenuNode(const nlohmann::json& entry) : id(entry.at(0)), properties(entry.at(1)) {
    for (const nlohmann::json& child : entry.at(2)) children.emplace_back(child.at("data"));
  }
  template <typename T>
  T get(const std::string& name, T otherwise) const {
    return properties.contains(name) ? properties[name].at("data").get<T>() : otherwise;
  }
};

// What a panel shows, in menuLabels' form: depth first, dividers as "---",
// submenu entries indented by two blanks. Hidden entries are not shown.
struct Shown {
  std::vector<std::string> labels;
  std::map<std::string, MenuNode> byLabel;

  void add(const std::vector<MenuNode>& nodes, const std::string& indent) {
    for (const MenuNode& node : nodes) {
      if (!node.get("visible", true)) continue;
      const bool separator = node.get<std::string>("type", "") == "separator";
      labels.push_back(indent + (separator ? "---" : node.get<std::string>("label", "")));
      if (!separator) byLabel.insert_or_assign(labels.back(), node);
      add(node.children, indent + "  ");
    }
  }
};

// Reads the item's whole menu, as GetLayout(0, -1, []) gives it, again and
// again until `done` holds or `seconds` pass; returns the last menu read.
template <typename P>
Shown readUntil(const StatusNotifierWatcher::Item& item, const std::string& menuPath, double seconds, P done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Shown shown;
  for (;;) {
    const auto reply = busctl({"call", item.service, menuPath, "com.canonical.dbusmenu", "GetLayout", "iias", "0",
                               "-1", "0"});
    if (reply && !reply->is_discarded() && !reply->is_null()) {
      shown = {};
      shown.add(MenuNode(reply->at("data").at(1)).children, "");
      if (done(shown)) return shown;
    }
    if (std::chrono::steady_clock::now() > deadline) return shown;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Labels one a line, so that a failure shows the two menus as a diff.
std::string lines(const std::vector<std::string>& labels) {
  std::string text;
  for (const std::string& label : labels) text += label + "\n";
  return text;
}

// The menu the model makes for `state`, with the agent's last error taken
// from what is shown: the agent is given no system bus, so it reports that
// companions cannot find it by name, in words that are not the menu's. The
// error stands after the status line and its remedy.
std::vector<std::string> expectedLabels(AgentController::State state, const std::vector<std::string>& shown) {
  const size_t errorAt = AgentController::remedyFor(state.isRunning, state.snapshot.status) ? 2 : 1;
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
  LiveProcess agent(VANTLE_AGENT_PATH,
                    {"--port", "0", "--watch", shoot.string(), "--stop-clock-after", "10", "--count-all"},
                    {{"HOME", home.str()},
                     {"XDG_CONFIG_HOME", (home / "config").string()},
                     {"XDG_DATA_HOME", (home / "data").string()},
                     {"XDG_CACHE_HOME", (home / "cache").string()},
                     {"XDG_RUNTIME_DIR", runtime.string()},
                     {"VANTLE_STORAGE_ROOT", (home / "storage").string()},
                     // Never the machine's logind or Avahi daemon.
                     {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (home / "no-system-bus").string()},
                     {"QT_QPA_PLATFORM", "xcb"},
                     {"LSAN_OPTIONS", leakOptions}});

  const auto item = watcher.waitForItem(kStartSeconds);
  ASSERT_TRUE(item) << "the agent registered no tray item\n" << agent.transcript();
  // The item's "Menu" property: where its dbusmenu object lives.
  const auto menu = busctl({"get-property", item->service, item->path, "org.kde.StatusNotifierItem", "Menu"});
  ASSERT_TRUE(menu && menu->contains("data")) << "the item " << item->service << item->path << " has no Menu";
  const std::string menuPath = menu->at("data");
  ASSERT_NE(menuPath, "/NO_DBUSMENU");

  // Started, with an empty folder to watch (nothing to read yet), counting
  // every image, the clock stopping after ten minutes, no companion, and
  // opening at login, offered on the first launch.
  AgentController::State running;
  running.isRunning = true;
  running.snapshot.status = core::AgentStatus::folderUnreadable;
  running.watchedRoot = shoot;
  running.counting = core::FrameCountRule::CountingMode::anyImage;
  running.idleThreshold = 600;
  running.launchesAtLogin = true;
  const std::regex codeLine("Pairing code  [0-9]{6}");
  const auto runningMenu = [&](const Shown& shown) {
    AgentController::State state = running;
    for (const std::string& label : shown.labels) {
      if (std::regex_match(label, codeLine)) state.pairingCode = label.substr(label.size() - 6);
    }
    return expectedLabels(state, shown.labels);
  };
  Shown shown = readUntil(*item, menuPath, kStartSeconds,
                          [&](const Shown& s) { return s.labels == runningMenu(s); });
  // The words are the model's (its own tests pin them down); what a panel
  // needs besides: status lines greyed, toggles as check marks in their state.
  ASSERT_EQ(lines(shown.labels), lines(runningMenu(shown))) << agent.transcript();
  EXPECT_EQ(shown.labels[0], "Cannot read the capture folder");
  EXPECT_FALSE(shown.byLabel.at(shown.labels[0]).get("enabled", true));
  EXPECT_EQ(shown.byLabel.at("Count JPEGs Too").get<std::string>("toggle-type", ""), "checkmark");
  EXPECT_EQ(shown.byLabel.at("Count JPEGs Too").get("toggle-state", -1), 1);
  // Opening at login went to the temporary settings folder, nowhere else.
  EXPECT_TRUE(fs::exists(home / "config/autostart/orvane-vantle-agent.desktop"));

  ASSERT_TRUE(busctl({"call", item->service, menuPath, "com.canonical.dbusmenu", "Event", "isvu",
                      std::to_string(shown.byLabel.at("Stop").id), "clicked", "i", "0",
                      std::to_string(std::time(nullptr))}));
  AgentController::State stopped = running;
  stopped.isRunning = false;
  shown = readUntil(*item, menuPath, kChangeSeconds,
                    [&](const Shown& s) { return s.labels == expectedLabels(stopped, s.labels); });
  EXPECT_EQ(lines(shown.labels), lines(expectedLabels(stopped, shown.labels))) << agent.transcript();

  // The session ending quits it as the menu's Quit would.
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(kChangeSeconds), 0) << agent.transcript();
}

}  // namespace
}  // namespace vantle::testing
