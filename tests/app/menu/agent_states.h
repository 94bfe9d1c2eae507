// Controller states the menu tests show: a running agent counting frames.
#pragma once

#include "agent/engine/agent_controller.h"

namespace vantle::testing {

// Running, status ok, "Look 1" with 12 frames, 40 in the shoot, code 042917.
inline agent::AgentController::State countingAgent() {
  agent::AgentController::State state;
  state.isRunning = true;
  state.pairingCode = "042917";
  state.snapshot.status = core::AgentStatus::ok;
  state.snapshot.shotName = "Look 1";
  state.snapshot.frameCount = 12;
  state.snapshot.framesThisShoot = 40;
  return state;
}

}  // namespace vantle::testing
