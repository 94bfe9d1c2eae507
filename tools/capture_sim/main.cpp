// vantle-capture-sim: a stand-in for the capture application on the D-Bus
// session bus, for tests and demos on Linux.
#include <vips/vips8>

#include <cstdio>
#include <filesystem>

#include "support/stop_signals.h"
#include "tools/capture_sim/command_line.h"
#include "tools/capture_sim/control_client.h"
#include "tools/capture_sim/sim_server.h"

using namespace vantle::tools;

namespace {

int serve(const ServeOptions& options) {
  SimulatedApplication application;
  if (options.session) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(*options.session, error);
    Problem problem = application.openSession(folder);
    if (!problem && options.catalog) problem = application.openCatalog();
    if (problem) {
      std::fprintf(stderr, "vantle-capture-sim: %s\n", problem->c_str());
      return exitcode::failed;
    }
    if (options.noDocument) application.closeDocument();
  }
  if (options.camera) application.setCamera(Camera::named(*options.camera, options.battery));
  if (options.deny) application.setDenial(Denial::accessDenied);

  CaptureSimServer server(std::move(application), options.jobSeconds);
  if (const Problem problem = server.run()) {
    std::fprintf(stderr, "vantle-capture-sim: %s\n", problem->c_str());
    return exitcode::failed;
  }
  return exitcode::ok;
}

}  // namespace

int main(int argc, char** argv) {
  // The server's event loop takes these as signals to stop.
  vantle::support::blockStopSignals();

  const auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "vantle-capture-sim: %s\nTry 'vantle-capture-sim --help'.\n", error->message.c_str());
    return exitcode::usage;
  }
  const Invocation& invocation = std::get<Invocation>(parsed);
  if (std::holds_alternative<Help>(invocation)) {
    std::fputs(helpText().c_str(), stdout);
    return exitcode::ok;
  }
  if (const auto* command = std::get_if<ControlCommand>(&invocation)) return runControlCommand(*command);

  if (VIPS_INIT(argv[0]) != 0) {
    std::fprintf(stderr, "vantle-capture-sim: libvips would not start\n");
    return exitcode::failed;
  }
  const int code = serve(std::get<ServeOptions>(invocation));
  vips_shutdown();
  return code;
}
