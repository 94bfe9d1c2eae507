// The ctl side: sends one control command to the running stand-in over the
// session bus and waits for its answer (ten seconds at most).
//
// Relative paths are made absolute against the caller's working directory
// first. On failure it prints one sentence to standard error: nobody owns
// the application's name (no stand-in running), the owner is not the
// stand-in, the stand-in refused, or the bus failed.
#pragma once

#include "tools/capture_sim/command_line.h"

namespace vantle::tools {

// The exit code for the command (see exitcode).
int runControlCommand(const ControlCommand& command);

}  // namespace vantle::tools
