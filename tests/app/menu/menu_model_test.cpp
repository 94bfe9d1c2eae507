#include "app/menu/menu_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "tests/app/menu/menu_fixtures.h"

namespace vantle::app {
namespace {

using agent::AgentController;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::Contains;

const MenuItem* find(const MenuModel& model, const std::string& label) {
  for (const MenuItem& item : model.items) {
    if (item.label == label) return &item;
  }
  return nullptr;
}

TEST(MenuModel, AStoppedAgentOffersStartTheFolderTheTogglesAndQuit) {
  const MenuModel model = buildMenu(AgentController::State{}, {.version = "0.4 (87)"});
  EXPECT_EQ(model.title, "");
  EXPECT_EQ(model.icon, TrayIcon::meteringNone);
  EXPECT_THAT(menuLabels(model.items),
              ElementsAre("Stopped", "---", "---", "Start", "Share with Browsers", "Watch a Folder Instead\u2026",
                          "Count JPEGs Too", "Open at Login", "Version 0.4 (87)", "Quit Orvane Live Agent"));
}

TEST(MenuModel, ARunningAgentShowsItsCodeDevicesShootSettingsAndWarnings) {
  AgentController::State state = testing::countingAgent();
  state.peerCount = 1;
  state.watchedRoot = "/studio/Shoot";
  state.launchesAtLogin = true;
  state.sharesWithBrowsers = true;
  state.browserAddress = "https://192.0.2.7:39183/#00112233445566778899aabbccddeeff";
  const MenuModel model = buildMenu(state, {.diskWarningThresholdGB = 100, .batteryWarningThreshold = 30});
  EXPECT_EQ(model.title, "12");
  EXPECT_EQ(model.icon, TrayIcon::aperture);
  EXPECT_THAT(menuLabels(model.items),
              ElementsAre("Look 1 \u00b7 12", "---", "Pairing code  042917", "Show QR Code",
                          "Show Browser QR Code", "1 device connected",
                          "This shoot  40 frames", "---", "End Shoot", "Stop the Clock After", "  2 minutes",
                          "  \u2713 5 minutes", "  10 minutes", "  15 minutes", "  30 minutes", "Warn on Low Disk",
                          "  10 GB", "  50 GB", "  \u2713 100 GB", "  200 GB", "  500 GB", "Warn on Low Battery",
                          "  90%", "  80%", "  70%", "  60%", "  50%", "  40%", "  \u2713 30%", "  20%", "  10%", "---",
                          "Stop", "New Pairing Code", "Share with Browsers", "Watch a Different Folder\u2026", "Read Capture One Instead",
                          "Count JPEGs Too", "Open at Login", "Version ? (?)", "Quit Orvane Live Agent"));
  EXPECT_TRUE(find(model, "Open at Login")->checked);
  EXPECT_EQ(find(model, "Open at Login")->value, 0);  // choosing it turns it off
  EXPECT_TRUE(find(model, "Share with Browsers")->checked);
  EXPECT_EQ(find(model, "Show Browser QR Code")->action, MenuAction::showBrowserQrCode);

  // No device, a shoot to resume, thresholds matching no choice (none is
  // checked), and orphan images under RAW counting.
  state.peerCount = 0;
  state.canResumeShoot = true;
  state.idleThreshold = 420;
  state.snapshot.orphanCount = 3;
  state.snapshot.orphanExtensions = {"jpg"};
  const MenuModel other = buildMenu(state, {.diskWarningThresholdGB = 75});
  EXPECT_THAT(menuLabels(other.items), Contains("0 devices connected"));
  EXPECT_EQ(find(other, "Resume Shoot")->action, MenuAction::resumeShoot);
  EXPECT_EQ(find(other, "End Shoot"), nullptr);
  for (const char* submenu : {"Stop the Clock After", "Warn on Low Disk"}) {
    for (const MenuItem& choice : find(other, submenu)->children) {
      EXPECT_THAT(choice.label, Not(::testing::StartsWith("\u2713"))) << submenu;
    }
  }
  ASSERT_TRUE(state.snapshot.orphanWarning());
  EXPECT_THAT(menuLabels(other.items), Contains("\u26a0\ufe0e " + *state.snapshot.orphanWarning()));
}

TEST(MenuModel, TheTitleIsEmptyAndTheIconWarnsUnlessCountingAndEachStatusSaysWhatToDo) {
  AgentController::State state = testing::countingAgent();
  state.lastError = "Could not open at login: no autostart folder";
  struct Expected {
    TrayIcon icon;
    std::string summary;
    std::optional<std::string> remedy;  // absent: the last error takes its line
  };
  const std::map<core::AgentStatus, Expected> statuses{
      {core::AgentStatus::captureOneNotRunning,
       {TrayIcon::meteringNone, "Capture One not running", "Start Capture One, or choose a folder to watch."}},
      {core::AgentStatus::noDocument, {TrayIcon::meteringNone, "No session open", std::nullopt}},
      {core::AgentStatus::catalogNotSupported,
       {TrayIcon::warning, "Catalog, not a session",
        "Orvane Live reads sessions. Open a session in Capture One, or watch a folder instead."}},
      {core::AgentStatus::permissionDenied,
       {TrayIcon::warning, "Automation permission needed",
        "Capture One refused Orvane Live's requests. Allow its scripting access, or watch a folder instead."}},
      {core::AgentStatus::folderUnreadable,
       {TrayIcon::meteringNone, "Cannot read the capture folder",
        "Check that the capture drive is mounted and that you may read the folder, then use Watch a "
        "Folder\u2026 to pick it again."}}};
  for (const auto& [status, expected] : statuses) {
    state.snapshot.status = status;
    const MenuModel model = buildMenu(state, {});
    EXPECT_EQ(model.title, "");
    EXPECT_EQ(model.icon, expected.icon);
    const std::vector<std::string> labels = menuLabels(model.items);
    EXPECT_EQ(labels[0], expected.summary);
    EXPECT_EQ(labels[1], expected.remedy.value_or(*state.lastError));
    EXPECT_THAT(labels, Contains(*state.lastError));
    EXPECT_THAT(labels, Not(Contains("This shoot  40 frames")));
  }
  // Counting says the shot and its frames; a stopped agent only that it stopped.
  state.snapshot.status = core::AgentStatus::ok;
  state.snapshot.shotName.reset();
  state.snapshot.frameCount = 0;
  EXPECT_EQ(menuLabels(buildMenu(state, {}).items)[0], "no shot \u00b7 0");
  EXPECT_EQ(AgentController::remedyFor(true, core::AgentStatus::ok), std::nullopt);
  EXPECT_EQ(AgentController::remedyFor(false, core::AgentStatus::folderUnreadable), std::nullopt);

  // A hardware warning outranks every status while running, and nothing when stopped.
  EXPECT_EQ(buildMenu(state, {.hardwareWarning = true}).icon, TrayIcon::warningFilled);
  state.isRunning = false;
  EXPECT_EQ(buildMenu(state, {.hardwareWarning = true}).icon, TrayIcon::meteringNone);
}

}  // namespace
}  // namespace vantle::app
