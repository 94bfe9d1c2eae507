// The companion's four commands.
//
// Each runs to its end on the calling thread and returns the process's exit
// code (see `exitcode`). Results go to `output`'s result stream, state
// changes and reasons to standard error. `end` is how callbacks and signals
// end the run early; an interrupted run ends as if its time had run out.
#pragma once

#include "tools/companion/command_line.h"
#include "tools/companion/output.h"
#include "tools/companion/run_end.h"

namespace vantle::tools {

int runBrowse(const Invocation& invocation, Output& output, RunEnd& end);
int runWatch(const Invocation& invocation, Output& output, RunEnd& end);
int runAudit(const Invocation& invocation, Output& output, RunEnd& end);
int runPull(const Invocation& invocation, Output& output, RunEnd& end);

}  // namespace vantle::tools
