#include "app/agent_command.h"

#include "app/agent_options.h"
#include "core/trimmed.h"

namespace vantle::app {

std::optional<AgentCommand> parseTerminalCommand(std::string_view line) {
  line = core::trimmed(line);
  const auto space = line.find_first_of(" \t");
  const std::string_view verb = line.substr(0, space);
  const std::string_view argument =
      space == std::string_view::npos ? std::string_view() : core::trimmed(line.substr(space));
  using Kind = AgentCommand::Kind;
  const auto alone = [&](Kind kind) -> std::optional<AgentCommand> {
    if (!argument.empty()) return std::nullopt;
    return AgentCommand{.kind = kind};
  };
  if (verb == "end") return alone(Kind::endShoot);
  if (verb == "resume") return alone(Kind::resumeShoot);
  if (verb == "code") return alone(Kind::newPairingCode);
  if (verb == "capture-one") return alone(Kind::captureOne);
  if (verb == "status") return alone(Kind::showStatus);
  if (verb == "quit") return alone(Kind::quit);
  if (verb == "count-all" && (argument == "on" || argument == "off")) {
    return AgentCommand{.kind = Kind::countAll, .on = argument == "on"};
  }
  if (verb == "browsers" && (argument == "on" || argument == "off")) {
    return AgentCommand{.kind = Kind::shareWithBrowsers, .on = argument == "on"};
  }
  if (verb == "stop-clock-after") {
    if (const auto minutes = parseMinutes(std::string(argument))) {
      return AgentCommand{.kind = Kind::stopClockAfter, .minutes = *minutes};
    }
  }
  if (verb == "watch" && !argument.empty()) return AgentCommand{.kind = Kind::watch, .folder = std::string(argument)};
  return std::nullopt;
}

}  // namespace vantle::app
