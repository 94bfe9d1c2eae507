// The agent program's command line.
//
// `parseAgentOptions` reads the arguments after the program name and returns
// either checked options or a UsageError with one sentence for the user. It
// neither prints nor exits. `agentHelpText` is what `--help` prints: every
// option, the commands read from standard input, the environment and the
// exit codes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vantle::app {

struct AgentOptions {
  bool help = false;
  bool headless = false;
  std::optional<std::filesystem::path> watch;  // absent: read the capture application
  uint16_t port = 39182;
  std::optional<std::string> name;  // absent: the computer's name
  bool countAll = false;            // every image counts, not only RAW captures
  double stopClockAfterMinutes = 5;
  bool web = false;         // serve browsers for this run
  uint16_t webPort = 39183;
};

struct UsageError {
  std::string message;
};

std::variant<AgentOptions, UsageError> parseAgentOptions(const std::vector<std::string>& arguments);

// A positive number of minutes, at most a day; absent for anything else.
std::optional<double> parseMinutes(const std::string& text);

std::string agentHelpText();

}  // namespace vantle::app
