#include "app/menu/menu_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

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
              ElementsAre("Stopped", "---", "---", "Start", "Watch a Folder Instead\u2026", "Count JPEGs Too",
                          "Open at Login", "Version 0.4 (87)", "Quit Orvane Live Agent"));
}

TEST(MenuModel, ARunningAgentShowsItsCodeDevicesShootSettingsAndWarnings) {
  AgentController::State state = testing::countingAgent();
  state.peerCount = 1;
  state.watchedRoot = "/studio/Shoot";
  state.launchesAtLogin = true;
  const MenuModel model = buildMenu(state, {.diskWarningThresholdGB = 100, .batteryWarningThreshold = 30});
  EXPECT_EQ(model.title, "12");
  EXPECT_EQ(model.icon, TrayIcon::aperture);
  EXPECT_THAT(menuLabels(model.items),
              ElementsAre("Look 1 \u00b7 12", "---", "Pairing code  042917", "Show QR Code", "1 device connected",
                          "This shoot  40 frames", "---", "End Shoot", "Stop the Clock After", "  2 minutes",
                          "  \u2713 5 minutes", "  10 minutes", "  15 minutes", "  30 minutes", "Warn on Low Disk",
                          "  10 GB", "  50 GB", "  \u2713 100 GB", "  200 GB", "  500 GB", "Warn on Low Battery",
                          "  90%", "  80%", "  70%", "  60%", "  50%", "  40%", "  \u2713 30%", "  20%", "  10%", "---",
                          "Stop", "New Pairing Code", "Watch a Different Folder\u2026", "Read Capture One Instead",
                          "Count JPEGs Too", "Open at Login", "Version ? (?)", "Quit Orvane Live Agent"));
  EXPECT_TRUE(find(model, "Open at Login")->checked);
  EXPECT_EQ(find(model, "Open at Login")->value, 0);  // choosing it turns it off

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

TEST(MenuModel, TheTitleIsEmptyAndTheIconWarnsUnlessCounting) {
  AgentController::State state = testing::countingAgent();
  state.lastError = "Could not open at login: no autostart folder";
  const std::map<core::AgentStatus, TrayIcon> icons{{core::AgentStatus::captureOneNotRunning, TrayIcon::meteringNone},
                                                    {core::AgentStatus::noDocument, TrayIcon::meteringNone},
                                                    {core::AgentStatus::catalogNotSupported, TrayIcon::warning},
                                                    {core::AgentStatus::permissionDenied, TrayIcon::warning},
                                                    {core::AgentStatus::folderUnreadable, TrayIcon::meteringNone}};
  for (const auto& [status, icon] : icons) {
    state.snapshot.status = status;
    const MenuModel model = buildMenu(state, {});
    EXPECT_EQ(model.title, "");
    EXPECT_EQ(model.icon, icon);
    const std::vector<std::string> labels = menuLabels(model.items);
    EXPECT_EQ(labels[0], AgentController::summary(true, state.snapshot));
    const auto remedy = AgentController::remedyFor(true, status);
    EXPECT_EQ(labels[1], remedy ? *remedy : state.lastError.value());
    EXPECT_THAT(labels, Contains(*state.lastError));
    EXPECT_THAT(labels, Not(Contains("This shoot  40 frames")));
  }
  // A hardware warning outranks every status while running, and nothing when stopped.
  EXPECT_EQ(buildMenu(state, {.hardwareWarning = true}).icon, TrayIcon::warningFilled);
  state.isRunning = false;
  EXPECT_EQ(buildMenu(state, {.hardwareWarning = true}).icon, TrayIcon::meteringNone);
}

}  // namespace
}  // namespace vantle::app
