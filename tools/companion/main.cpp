// vantle-companion: a companion for an Orvane Vantle agent, on the command line.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

#include "tools/companion/command_line.h"
#include "tools/companion/commands.h"
#include "tools/companion/output.h"
#include "tools/companion/run_end.h"
#include "support/stop_signals.h"
#include "support/thread_pool.h"

using namespace vantle::tools;

namespace {

// Ctrl-C or a TERM ends the run as its timeout would, so a watch stopped by
// hand still says whether it ever connected. A second one does not wait.
void watchForStops(const sigset_t& stops, std::shared_ptr<RunEnd> end) {
  std::thread([stops, end] {
    int signal = 0;
    if (sigwait(&stops, &signal) != 0) return;
    end->interrupt();
    if (sigwait(&stops, &signal) == 0) _exit(128 + signal);
  }).detach();
}

int run(const Invocation& invocation, Output& output, RunEnd& end) {
  switch (invocation.command) {
    case Command::browse: return runBrowse(invocation, output, end);
    case Command::watch: return runWatch(invocation, output, end);
    case Command::audit: return runAudit(invocation, output, end);
    case Command::pull: return runPull(invocation, output, end);
    case Command::help: break;
  }
  return exitcode::ok;
}


}  // namespace

int main(int argc, char** argv) {
  // Only the watcher takes these signals.
  const sigset_t stops = vantle::support::blockStopSignals();

  const char* environmentCode = std::getenv("VANTLE_CODE");
  auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                 environmentCode ? std::optional<std::string>(environmentCode) : std::nullopt);
  if (auto* invocation = std::get_if<Invocation>(&parsed); invocation && invocation->code == codeFromStandardInput) {
    std::string line;
    std::getline(std::cin, line);
    if (auto error = setCode(*invocation, "--code -", line)) parsed = UsageError{*error};
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "vantle-companion: %s\nTry 'vantle-companion --help'.\n", error->message.c_str());
    return exitcode::usage;
  }
  const Invocation& invocation = std::get<Invocation>(parsed);
  if (invocation.command == Command::help) {
    std::fputs(helpText().c_str(), stdout);
    return exitcode::ok;
  }

  Output output(takeStandardOutput());
  auto end = std::make_shared<RunEnd>();
  watchForStops(stops, end);
  const int code = run(invocation, output, *end);
  // The pool's threads may still be finishing cancelled network work; they
  // must be done before the process's static objects go.
  vantle::support::ThreadPool::stopShared();
  return code;
}
