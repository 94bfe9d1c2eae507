// What the menu tests share: the controller state of a running agent
// counting frames, and reading a QR code back with a real decoder, zbarimg
// (zbar-tools), so that what the agent draws is checked by what a scanner
// makes of it.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/agent_controller.h"

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

// The text of the one QR code in an image file, exactly as decoded; empty
// when the decoder finds none. Other symbologies are off, so that nothing
// else in a screenshot is taken for a code.
inline std::string decodeQr(const std::filesystem::path& image) {
  const std::string command = "zbarimg --quiet --raw -Sdisable -Sqrcode.enable '" + image.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string text;
  char buffer[256];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
  const int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  // --raw ends each symbol's text with a line break.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace vantle::testing
