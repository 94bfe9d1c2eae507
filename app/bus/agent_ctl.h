// `vantle-agent ctl COMMAND`: tells the running agent something, or asks it,
// over the session bus (agent_bus.h), whether it runs as the menu
// application or headless.
//
// `runCtl` takes the arguments after "ctl", prints what the agent answered
// on standard output (errors on standard error) and returns the exit code:
// 0 done, 1 no agent is running (or it did not answer), 2 the command line
// is wrong, 3 the agent refused the command and said why. `vantle-agent
// --help` documents the commands.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vantle::app {

namespace ctlexit {
inline constexpr int ok = 0;
inline constexpr int noAgent = 1;
inline constexpr int usage = 2;
inline constexpr int refused = 3;
}  // namespace ctlexit

int runCtl(const std::vector<std::string>& arguments);

// What a second launch says of the agent already running: its status lines,
// or nothing when it does not answer.
std::vector<std::string> runningAgentStatus();

// Asks the running agent to show its window (the menu application) or its
// menu; false when it could not.
bool showRunningAgent();

}  // namespace vantle::app
