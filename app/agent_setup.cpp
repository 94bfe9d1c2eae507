#include "app/agent_setup.h"

namespace vantle::app {

std::shared_ptr<agent::AgentController> makeController(const AgentOptions& options,
                                                       agent::AgentController::Executor mainThread) {
  agent::AgentController::Services services;
  services.mainThread = std::move(mainThread);
  services.service = net::VantleService::create(options.port);
  services.defaults = agent::UserDefaults::standard();
  if (options.name) services.computerName = std::make_shared<agent::GivenComputerName>(*options.name);
  return agent::AgentController::create(std::move(services));
}

void applySettings(const AgentOptions& options, agent::AgentController& controller) {
  using core::FrameCountRule::CountingMode;
  controller.setCounting(options.countAll ? CountingMode::anyImage : CountingMode::rawOnly);
  controller.setIdleThreshold(options.stopClockAfterMinutes * 60);
  if (options.watch) controller.setWatchedRoot(options.watch);
}

}  // namespace vantle::app
