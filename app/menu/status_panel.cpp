#include "app/menu/status_panel.h"

#include <cmath>
#include <cstdio>

namespace vantle::app {

std::string clockText(double seconds) {
  const auto whole = static_cast<int64_t>(std::max(0.0, std::floor(seconds)));
  const int64_t hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(rest));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(minutes), static_cast<long long>(rest));
  }
  return text;
}

StatusPanel buildStatusPanel(const agent::AgentController::State& state, core::Instant now) {
  using agent::AgentController;
  const core::VantleSnapshot& snapshot = state.snapshot;
  const bool counting = state.isRunning && !state.awaitingFirstReading && snapshot.status == core::AgentStatus::ok;
  StatusPanel panel;
  panel.count = counting ? std::to_string(snapshot.frameCount) : "\u2013";
  panel.status = AgentController::summary(state);
  panel.remedy = AgentController::remedyFor(state);
  panel.error = state.lastError;
  if (state.watchedRoot) {
    panel.folder = "Watching " + state.watchedRoot->string();
  } else if (snapshot.designatedPath) {
    panel.folder = "Capture folder " + *snapshot.designatedPath;
  } else {
    panel.folder = "Reading Capture One";
  }

  const core::ShotClock clock = snapshot.shotClock();
  if (!state.isRunning || !clock.isRunning()) {
    panel.clock = "Shot clock: no shot open";
  } else if (clock.isWaiting(now)) {
    panel.clock = "Shot clock: stopped, no frame for " + clockText(core::secondsBetween(*clock.lastActivityAt, now)) +
                  " (" + clockText(clock.elapsed(now)) + " worked)";
  } else {
    panel.clock = "Shot clock: " + clockText(clock.elapsed(now)) + " running";
  }

  const auto plural = [](int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  if (state.isShootRunning || state.canResumeShoot) {
    panel.totals = std::string(state.isShootRunning ? "This shoot: " : "Ended shoot: ") +
                   plural(snapshot.shotsCompleted, "shot", "shots") + ", " +
                   plural(snapshot.framesThisShoot, "frame", "frames") + ", " + clockText(snapshot.totalShotTime) +
                   " of shot time";
  } else {
    panel.totals = "No shoot yet";
  }
  panel.companions = plural(state.peerCount, "companion connected", "companions connected");
  panel.code = state.isRunning ? "Pairing code " + state.pairingCode : "Stopped: companions cannot connect";
  return panel;
}

}  // namespace vantle::app
