#include "app/agent_setup.h"

#include "web/web_service.h"

namespace vantle::app {

namespace {
// Long enough for a copy to a backup drive or an upload of one frame.
constexpr std::chrono::seconds hookTimeLimit{30};
}  // namespace

std::shared_ptr<agent::AgentController> makeController(const AgentOptions& options,
                                                       agent::AgentController::Executor mainThread) {
  agent::AgentController::Services services;
  services.mainThread = std::move(mainThread);
  services.service = net::VantleService::create(options.port);
  services.web = web::WebService::create(options.webPort);
  services.defaults = agent::UserDefaults::standard();
  services.hooks = std::make_shared<HookRunner>(HookRunner::standardFolder(), hookTimeLimit);
  if (options.name) services.computerName = std::make_shared<agent::GivenComputerName>(*options.name);
  return agent::AgentController::create(std::move(services));
}

void applySettings(const AgentOptions& options, agent::AgentController& controller) {
  using core::FrameCountRule::CountingMode;
  controller.setCounting(options.countAll ? CountingMode::anyImage : CountingMode::rawOnly);
  controller.setIdleThreshold(options.stopClockAfterMinutes * 60);
  if (options.watch) controller.setWatchedRoot(options.watch);
  if (options.web) controller.setSharingWithBrowsers(true, /*remember=*/false);
}

}  // namespace vantle::app
