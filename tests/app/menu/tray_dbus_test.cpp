// The tray item as a desktop panel sees it: the real vantle-agent, as a menu
// bar application on an X display, registers its StatusNotifierItem with a
// watcher of the test's own on a private session bus; the test then reads
// the item's menu over com.canonical.dbusmenu, as a panel does, and clicks
// an item through it.
//
// Runs under an X server of its own (with-xvfb), so the agent starts its
// graphical side; ctest runs it that way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/menu/menu_application.h"
#include "app/menu/menu_model.h"
#include "tests/app/live_process.h"
#include "tests/app/menu/status_notifier_watcher.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_folder.h"

namespace vantle::testing {
namespace {

namespace fs = std::filesystem;
using agent::AgentController;

// Generous for a busy two-core machine running the agent under sanitizers.
constexpr double kStartSeconds = 60;
constexpr double kChangeSeconds = 30;

// One entry of a dbusmenu layout, with the properties the tests look at.
struct MenuNode {
  int id = 0;
  std::string label;
  std::string type;        // "separator" for dividers
  std::string toggleType;  // "checkmark" for toggles
  int toggleState = -1;
  bool enabled = true;
  bool visible = true;
  std::vector<MenuNode> children;
};

// Reads one (ia{sv}av) layout entry, its children included.
int readNode(sd_bus_message* m, MenuNode& node) {
  int r = sd_bus_message_enter_container(m, 'r', "ia{sv}av");
  if (r < 0) return r;
  if ((r = sd_bus_message_read(m, "i", &node.id)) < 0) return r;
  if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    const std::string name = key;
    const char* contents = nullptr;
    if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
    const std::string type = contents ? contents : "";
    if (type == "s" && (name == "label" || name == "type" || name == "toggle-type")) {
      const char* text = nullptr;
      if ((r = sd_bus_message_read(m, "v", "s", &text)) < 0) return r;
      (name == "label" ? node.label : name == "type" ? node.type : node.toggleType) = text;
    } else if (type == "b" && (name == "enabled" || name == "visible")) {
      int value = 0;
      if ((r = sd_bus_message_read(m, "v", "b", &value)) < 0) return r;
      (name == "enabled" ? node.enabled : node.visible) = value != 0;
    } else if (type == "i" && name == "toggle-state") {
      if ((r = sd_bus_message_read(m, "v", "i", &node.toggleState)) < 0) return r;
    } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  if ((r = sd_bus_message_enter_container(m, 'a', "v")) < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'v', "(ia{sv}av)")) > 0) {
    node.children.emplace_back();
    if ((r = readNode(m, node.children.back())) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  return sd_bus_message_exit_container(m);
}

// What a panel shows, in menuLabels' form: depth first, dividers as "---",
// submenu entries indented by two blanks. Hidden entries are not shown.
void flatten(const std::vector<MenuNode>& nodes, const std::string& indent, std::vector<std::string>& labels,
             std::map<std::string, MenuNode>& byLabel) {
  for (const MenuNode& node : nodes) {
    if (!node.visible) continue;
    labels.push_back(indent + (node.type == "separator" ? "---" : node.label));
    if (node.type != "separator") byLabel[indent + node.label] = node;
    flatten(node.children, indent + "  ", labels, byLabel);
  }
}

// A panel's side of the conversation, on a connection of the test's own.
class Panel {
 public:
  Panel() {
    if (sd_bus_open_user(&bus_) < 0) bus_ = nullptr;
  }
  ~Panel() { sd_bus_flush_close_unref(bus_); }
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  bool connected() const { return bus_ != nullptr; }

  // The item's "Menu" property: where its dbusmenu object lives.
  std::optional<std::string> menuPath(const StatusNotifierWatcher::Item& item) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_get_property(bus_, item.service.c_str(), item.path.c_str(), "org.kde.StatusNotifierItem", "Menu",
                                &error, &reply, "o");
    sd_bus_error_free(&error);
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
    std::optional<std::string> result;
    if (r >= 0) result = path;
    sd_bus_message_unref(reply);
    return result;
  }

  // The whole menu, as GetLayout(0, -1, []) gives it.
  std::optional<MenuNode> layout(const std::string& service, const std::string& path) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, service.c_str(), path.c_str(), "com.canonical.dbusmenu", "GetLayout", &error,
                               &reply, "iias", 0, -1, 0);
    sd_bus_error_free(&error);
    MenuNode root;
    uint32_t revision = 0;
    if (r >= 0) r = sd_bus_message_read(reply, "u", &revision);
    if (r >= 0) r = readNode(reply, root);
    sd_bus_message_unref(reply);
    if (r < 0) return std::nullopt;
    return root;
  }

  bool click(const std::string& service, const std::string& path, int id) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const uint32_t timestamp = static_cast<uint32_t>(std::time(nullptr));
    const int r = sd_bus_call_method(bus_, service.c_str(), path.c_str(), "com.canonical.dbusmenu", "Event", &error,
                                     nullptr, "isvu", id, "clicked", "i", 0, timestamp);
    sd_bus_error_free(&error);
    return r >= 0;
  }

 private:
  sd_bus* bus_ = nullptr;
};

struct Shown {
  std::vector<std::string> labels;
  std::map<std::string, MenuNode> byLabel;
};

// Reads the menu again and again until `done` holds or `seconds` pass;
// returns the last menu read.
template <typename P>
Shown readUntil(Panel& panel, const std::string& service, const std::string& path, double seconds, P done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Shown shown;
  for (;;) {
    if (const auto root = panel.layout(service, path)) {
      shown = {};
      flatten(root->children, "", shown.labels, shown.byLabel);
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
  Panel panel;
  ASSERT_TRUE(panel.connected());
  const auto menuPath = panel.menuPath(*item);
  ASSERT_TRUE(menuPath) << "the item " << item->service << item->path << " has no Menu property";
  ASSERT_NE(*menuPath, "/NO_DBUSMENU");

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
  Shown shown = readUntil(panel, item->service, *menuPath, kStartSeconds,
                          [&](const Shown& s) { return s.labels == runningMenu(s); });
  ASSERT_EQ(lines(shown.labels), lines(runningMenu(shown))) << agent.transcript();
  // The exact lines that matter most, in case the model itself went wrong.
  EXPECT_THAT(shown.labels, ::testing::IsSupersetOf({"Cannot read the capture folder", "Show QR Code",
                                                      "0 devices connected", "End Shoot", "  \u2713 10 minutes",
                                                      "Stop", "New Pairing Code", "Quit Orvane Live Agent"}));

  // What a panel needs besides the words: status lines greyed, buttons
  // live, toggles as check marks in their state, submenus with children.
  EXPECT_FALSE(shown.byLabel.at(shown.labels[0]).enabled);
  EXPECT_FALSE(shown.byLabel.at("0 devices connected").enabled);
  EXPECT_TRUE(shown.byLabel.at("Show QR Code").enabled);
  EXPECT_TRUE(shown.byLabel.at("Stop").enabled);
  EXPECT_EQ(shown.byLabel.at("Count JPEGs Too").toggleType, "checkmark");
  EXPECT_EQ(shown.byLabel.at("Count JPEGs Too").toggleState, 1);
  EXPECT_EQ(shown.byLabel.at("Open at Login").toggleState, 1);
  EXPECT_EQ(shown.byLabel.at("Warn on Low Battery").children.size(), 9u);
  // Opening at login went to the temporary settings folder, nowhere else.
  EXPECT_TRUE(fs::exists(home / "config/autostart/orvane-vantle-agent.desktop"));

  ASSERT_TRUE(panel.click(item->service, *menuPath, shown.byLabel.at("Stop").id));
  AgentController::State stopped = running;
  stopped.isRunning = false;
  shown = readUntil(panel, item->service, *menuPath, kChangeSeconds,
                    [&](const Shown& s) { return s.labels == expectedLabels(stopped, s.labels); });
  EXPECT_EQ(lines(shown.labels), lines(expectedLabels(stopped, shown.labels))) << agent.transcript();
  ASSERT_FALSE(shown.labels.empty());
  EXPECT_EQ(shown.labels[0], "Stopped");
  EXPECT_TRUE(shown.byLabel.contains("Start"));
  EXPECT_FALSE(shown.byLabel.contains("Stop"));

  // The session ending quits it as the menu's Quit would.
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitForExit(kChangeSeconds), 0) << agent.transcript();
}

}  // namespace
}  // namespace vantle::testing
