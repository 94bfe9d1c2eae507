// The companion's command line: which command to run, and with what.
//
// `parseCommandLine` reads the arguments that follow the program name and
// returns either a complete, checked `Invocation` (every option the command
// needs is there, every value is in range, nothing belongs to another
// command) or a `UsageError` with one sentence for the user. It neither
// prints nor exits. `helpText` is the text `--help` prints; it documents
// every command, option and exit code.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <string>
#include <variant>
#include <vector>

namespace vantle::tools {

enum class Command { help, browse, watch, audit, pull };

struct Invocation {
  Command command = Command::help;

  // Whom to talk to: `host` and `port` together, or an `agent` found by
  // browsing. The code is checked to be six digits.
  std::optional<std::string> code;
  std::optional<std::string> host;
  std::optional<uint16_t> port;
  std::optional<std::string> agent;

  // Seconds the whole run may take; absent means the command's default.
  std::optional<double> timeout;

  // watch
  uint64_t since = 0;
  std::optional<uint64_t> messages;

  // audit
  std::vector<std::string> paths;

  // pull
  bool highRes = false;
  std::optional<std::string> frame;
  std::optional<std::string> out;
  double settle = 3;
};

struct UsageError {
  std::string message;
};

// `environmentCode` (VANTLE_CODE) is the code when --code is not given.
// "--code -" leaves `code` as codeFromStandardInput, for the caller to read
// and set with setCode.
std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& arguments,
                                                      const std::optional<std::string>& environmentCode = std::nullopt);

inline constexpr std::string_view codeFromStandardInput = "-";
// Sets the code when it is six digits; else says what is wrong, naming `from`.
std::optional<std::string> setCode(Invocation& in, std::string_view from, std::string_view code);

std::string helpText();

// The exit codes, shared by every command.
namespace exitcode {
inline constexpr int ok = 0;
inline constexpr int failed = 1;       // connected, but no usable answer in time; a file not written
inline constexpr int usage = 2;
inline constexpr int rejected = 3;     // the agent refused the pairing code
inline constexpr int unreachable = 4;  // never connected (or, for browse, could not browse)
inline constexpr int unavailable = 5;  // the agent had no image to give
inline constexpr int untrusted = 6;    // --agent: ambiguous, or not the agent the name was first used with
}  // namespace exitcode

}  // namespace vantle::tools
