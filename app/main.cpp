// vantle-agent: the agent for the computer tethered to the camera.
//
// Until the menu application exists the agent always runs in the terminal,
// as `--headless` asks.
#include <cstdio>
#include <string>
#include <vector>

#include "app/headless/agent_options.h"
#include "app/headless/headless_agent.h"
#include "support/stop_signals.h"
#include "support/thread_pool.h"

int main(int argc, char** argv) {
  // Before any thread starts, so that only the agent's own waiter takes them.
  const sigset_t stops = vantle::support::blockStopSignals();

  const auto parsed = vantle::app::parseAgentOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (const auto* error = std::get_if<vantle::app::UsageError>(&parsed)) {
    std::fprintf(stderr, "vantle-agent: %s. Try 'vantle-agent --help'.\n", error->message.c_str());
    return 2;
  }
  const auto& options = std::get<vantle::app::AgentOptions>(parsed);
  if (options.help) {
    std::fputs(vantle::app::agentHelpText().c_str(), stdout);
    return 0;
  }

  const int code = vantle::app::HeadlessAgent::create(options)->run(stops);
  vantle::support::ThreadPool::stopShared();
  return code;
}
