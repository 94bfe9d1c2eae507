// What the agent tells those who ask, built from the controller's published
// state: the lines `status` prints (in the terminal and through
// `vantle-agent ctl status`) and the state the session bus shows.
// Functions of the state alone; call them on the controller's thread.
#pragma once

#include <string>
#include <vector>

#include "app/agent_controller.h"
#include "app/bus/agent_bus.h"

namespace vantle::app {

// The status, its remedy, the shoot and the companions, one line each. The
// pairing code is not among them: it is a secret the caller shows or not.
std::vector<std::string> statusLines(const agent::AgentController& controller);

AgentBusState busStateOf(const agent::AgentController& controller);

}  // namespace vantle::app
