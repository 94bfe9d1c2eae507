// What the status window shows besides the menu's controls, as plain text:
// the frame count large, the status and what to do about it, the folder, the
// shot clock, the shoot's totals, the companions and the pairing code.
//
// Built from the controller's published state and the current instant (the
// window ticks the shot clock once a second between changes). Pure: no Qt, no
// clock, no I/O.
#pragma once

#include <optional>
#include <string>

#include "app/agent_controller.h"
#include "core/instant.h"

namespace vantle::app {

struct StatusPanel {
  std::string count;                  // the frame count while counting, else an en dash
  std::string status;                 // the menu's status line
  std::optional<std::string> remedy;  // what to do about it
  std::optional<std::string> error;   // the standing error
  std::string folder;                 // "Watching …", "Capture folder …" or "Reading Capture One"
  std::string clock;                  // the shot clock
  std::string totals;                 // the shoot's shots, frames and shot time
  std::string companions;
  std::string code;  // "Pairing code 042917", or why there is none

  bool operator==(const StatusPanel&) const = default;
};

StatusPanel buildStatusPanel(const agent::AgentController::State& state, core::Instant now);

// "0:42", "12:05", "1:02:09".
std::string clockText(double seconds);

}  // namespace vantle::app
