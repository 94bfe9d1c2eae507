// The status window's text, from the controller's state and an instant.
#include "app/menu/status_panel.h"

#include <gtest/gtest.h>

#include "tests/app/menu/menu_fixtures.h"
#include "tests/support/instants.h"

namespace vantle::app {
namespace {

using testing::at;

TEST(StatusPanel, TheClockRunsStopsAfterTheIdleThresholdAndSaysWhenNoShotIsOpen) {
  agent::AgentController::State state = testing::countingAgent();
  EXPECT_EQ(buildStatusPanel(state, at(0)).clock, "Shot clock: no shot open");

  state.snapshot.shotOpenedAt = at(1000);
  state.snapshot.shotLastActivityAt = at(1100);
  state.snapshot.shotAccumulatedBefore = 60;
  state.snapshot.idleThreshold = 300;
  EXPECT_EQ(buildStatusPanel(state, at(1342)).clock, "Shot clock: 6:42 running");
  // Eight minutes without a frame: the clock stopped at the threshold.
  EXPECT_EQ(buildStatusPanel(state, at(1580)).clock, "Shot clock: stopped, no frame for 8:00 (7:40 worked)");
  state.isRunning = false;
  EXPECT_EQ(buildStatusPanel(state, at(1342)).clock, "Shot clock: no shot open");
}

TEST(StatusPanel, TheCountIsShownOnlyWhileCountingAndTheLinesSayWhatTheStateSays) {
  agent::AgentController::State state = testing::countingAgent();
  state.isShootRunning = true;
  state.snapshot.shotsCompleted = 1;
  state.snapshot.totalShotTime = 3725;
  state.peerCount = 1;
  StatusPanel panel = buildStatusPanel(state, at(0));
  EXPECT_EQ(panel.count, "12");
  EXPECT_EQ(panel.status, "Look 1 \u00b7 12");
  EXPECT_EQ(panel.totals, "This shoot: 1 shot, 40 frames, 1:02:05 of shot time");
  EXPECT_EQ(panel.companions, "1 companion connected");
  EXPECT_EQ(panel.code, "Pairing code 042917");
  EXPECT_EQ(panel.folder, "Reading Capture One");

  state.watchedRoot = "/Volumes/Shoot";
  state.snapshot.status = core::AgentStatus::folderUnreadable;
  state.waitingForFirstFrame = true;
  state.lastError = "Someone at 3 addresses is trying pairing codes.";
  panel = buildStatusPanel(state, at(0));
  EXPECT_EQ(panel.count, "\u2013");
  EXPECT_EQ(panel.status, "Waiting for the first frame");
  EXPECT_EQ(panel.remedy, "The first frame saved in /Volumes/Shoot starts the count.");
  EXPECT_EQ(panel.error, state.lastError);
  EXPECT_EQ(panel.folder, "Watching /Volumes/Shoot");

  state.isRunning = false;
  EXPECT_EQ(buildStatusPanel(state, at(0)).code, "Stopped: companions cannot connect");
  EXPECT_EQ(clockText(59.9), "0:59");
  EXPECT_EQ(clockText(-3), "0:00");
}

}  // namespace
}  // namespace vantle::app
