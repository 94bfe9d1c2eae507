// What the agent program's options make of the controller, for both of its
// faces: the terminal and the menu bar.
#pragma once

#include <memory>

#include "app/agent_controller.h"
#include "app/agent_options.h"

namespace vantle::app {

// The controller on the options' port and under their name; its published
// state belongs to the thread `mainThread` runs work on.
std::shared_ptr<agent::AgentController> makeController(const AgentOptions& options,
                                                       agent::AgentController::Executor mainThread);

// The options' counting mode, shot clock, watched folder and browser sharing; call on the
// controller's main thread, before start().
void applySettings(const AgentOptions& options, agent::AgentController& controller);

}  // namespace vantle::app
