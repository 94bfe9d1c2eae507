#include "app/published_state.h"

namespace vantle::app {

std::vector<std::string> statusLines(const agent::AgentController& controller) {
  const agent::AgentController::State& state = controller.state();
  std::vector<std::string> lines{"Status: " + controller.statusSummary()};
  if (const auto remedy = controller.remedy()) lines.push_back("Remedy: " + *remedy);
  if (state.isShootRunning) {
    lines.push_back("Shoot: running, " + std::to_string(state.snapshot.framesThisShoot) + " frames in " +
                    std::to_string(state.snapshot.shotsCompleted) + " shots");
  } else {
    lines.push_back(state.canResumeShoot ? "Shoot: ended, can be resumed" : "Shoot: none");
  }
  lines.push_back("Companions connected: " + std::to_string(state.peerCount));
  return lines;
}

AgentBusState busStateOf(const agent::AgentController& controller) {
  const agent::AgentController::State& state = controller.state();
  AgentBusState bus;
  bus.status = controller.statusSummary();
  bus.remedy = controller.remedy().value_or("");
  bus.statusLines = statusLines(controller);
  bus.frameCount = state.snapshot.frameCount;
  bus.running = state.isRunning;
  bus.shoot = state.isShootRunning ? "running" : state.canResumeShoot ? "ended" : "none";
  bus.companions = state.peerCount;
  bus.port = state.port.value_or(0);
  bus.folder = state.watchedRoot ? state.watchedRoot->string() : "";
  bus.countAll = state.counting == core::FrameCountRule::CountingMode::anyImage;
  bus.stopClockAfterMinutes = state.idleThreshold / 60;
  bus.pairingCode = state.isRunning ? state.pairingCode : "";
  bus.sharesWithBrowsers = state.sharesWithBrowsers;
  bus.browserAddress = state.browserAddress.value_or("");
  bus.browserFingerprint = state.browserFingerprint;
  return bus;
}

}  // namespace vantle::app
