// vantle-agent: the agent for the computer tethered to the camera.
//
// In a desktop session it is the menu bar application; with --headless, or
// with no display at all, it runs in the terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/storage/storage_lock.h"
#include "agent/storage/storage_root.h"
#include "app/agent_options.h"
#include "app/bus/agent_bus.h"
#include "app/bus/agent_ctl.h"
#include "app/headless/headless_agent.h"
#include "app/menu/menu_application.h"
#include "support/stop_signals.h"
#include "support/thread_pool.h"

namespace {

bool hasDisplay() {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that only the agent's own waiter takes them.
  const sigset_t stops = vantle::support::blockStopSignals();
  // A reader gone from standard output is no reason to stop counting; and a
  // headless agent started as a background job must not be stopped for
  // touching its terminal (it reads only in the foreground).
  for (const int ignored : {SIGPIPE, SIGTTIN, SIGTTOU}) signal(ignored, SIG_IGN);

  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments.front() == "ctl") {
    return vantle::app::runCtl(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
  }
  const auto parsed = vantle::app::parseAgentOptions(arguments);
  if (const auto* error = std::get_if<vantle::app::UsageError>(&parsed)) {
    std::fprintf(stderr, "vantle-agent: %s. Try 'vantle-agent --help'.\n", error->message.c_str());
    return 2;
  }
  const auto& options = std::get<vantle::app::AgentOptions>(parsed);
  if (options.help) {
    std::fputs(vantle::app::agentHelpText().c_str(), stdout);
    return 0;
  }

  const bool menu = !options.headless && hasDisplay();

  // One agent per user, reachable on the session bus; a second launch hands
  // over to the first.
  namespace app = vantle::app;
  std::unique_ptr<app::AgentBus> bus;
  auto claim = app::AgentBus::claim(menu);
  if (const auto* running = std::get_if<app::AgentBus::AlreadyRunning>(&claim)) {
    if (menu && app::showRunningAgent()) return 0;
    const std::string pid = running->pid ? " (pid " + std::to_string(*running->pid) + ")" : "";
    std::fprintf(stderr, "vantle-agent: the agent is already running%s.\n", pid.c_str());
    for (const std::string& line : app::runningAgentStatus()) std::fprintf(stderr, "  %s\n", line.c_str());
    std::fputs("Talk to it with 'vantle-agent ctl status' (or ctl code, ctl quit ...; see 'vantle-agent --help').\n",
               stderr);
    return 3;
  }
  if (const auto* none = std::get_if<app::AgentBus::NoBus>(&claim)) {
    std::fprintf(stderr, "vantle-agent: not on the session bus (%s): 'vantle-agent ctl' cannot reach this agent.\n",
                 none->reason.c_str());
  } else {
    bus = std::move(std::get<std::unique_ptr<app::AgentBus>>(claim));
  }

  // One agent per record: a second one on the same storage would count the
  // same folder and store every shot twice. The lock lives until main returns.
  namespace agent = vantle::agent;
  const std::filesystem::path root = agent::StorageRoot::resolve(agent::StorageRoot::processEnvironment());
  std::error_code ignored;
  std::filesystem::create_directories(root, ignored);
  const auto lock = agent::StorageLock::acquire(root);
  if (const auto* held = std::get_if<agent::StorageLock::Held>(&lock)) {
    std::fprintf(stderr, "vantle-agent: %s\n", held->sentence().c_str());
    if (menu) vantle::app::showStartupRefusal(argc, argv, held->sentence());
    return 3;
  }
  if (const auto* failed = std::get_if<agent::StorageLock::Failed>(&lock)) {
    std::fprintf(stderr, "vantle-agent: %s; another agent on the same storage would not be noticed.\n",
                 failed->reason.c_str());
  }

  int code = 0;
  if (menu) {
    code = vantle::app::runMenuApplication(argc, argv, options, stops, std::move(bus));
  } else {
    if (!options.headless) std::fputs("vantle-agent: no display, so running headless.\n", stderr);
    code = vantle::app::HeadlessAgent::create(options, std::move(bus))->run(stops);
  }
  vantle::support::ThreadPool::stopShared();
  return code;
}
