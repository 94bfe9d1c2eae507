#include "tools/companion/command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <set>

namespace vantle::tools {

namespace {

using Error = std::optional<std::string>;

// Which commands an option belongs to, as a bit set over `Command`.
constexpr unsigned bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned connectedCommands = bit(Command::watch) | bit(Command::audit) | bit(Command::pull);
constexpr unsigned everyCommand = bit(Command::browse) | connectedCommands;

std::optional<uint64_t> wholeNumber(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> positiveSeconds(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(value) || value <= 0) return std::nullopt;
  return value;
}

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

Error setText(std::optional<std::string>& field, std::string_view name, std::string_view value) {
  if (value.empty()) return std::string(name) + " needs a value";
  field = std::string(value);
  return std::nullopt;
}

Error setSeconds(std::optional<double>& field, std::string_view name, std::string_view value) {
  auto seconds = positiveSeconds(value);
  if (!seconds) return std::string(name) + " needs a number of seconds above 0, not " + quoted(value);
  field = *seconds;
  return std::nullopt;
}

struct Option {
  std::string_view name;
  bool takesValue;
  unsigned commands;
  Error (*set)(Invocation&, std::string_view value);
};

const std::array<Option, 11> options{{
    {"--code", true, connectedCommands,
     [](Invocation& in, std::string_view v) -> Error {
       if (v == codeFromStandardInput) {
         in.code = std::string(v);
         return std::nullopt;
       }
       return setCode(in, "--code", v);
     }},
    {"--host", true, connectedCommands, [](Invocation& in, std::string_view v) { return setText(in.host, "--host", v); }},
    {"--port", true, connectedCommands,
     [](Invocation& in, std::string_view v) -> Error {
       auto port = wholeNumber(v);
       if (!port || *port < 1 || *port > 65535) return "--port needs a number from 1 to 65535, not " + quoted(v);
       in.port = static_cast<uint16_t>(*port);
       return std::nullopt;
     }},
    {"--agent", true, connectedCommands, [](Invocation& in, std::string_view v) { return setText(in.agent, "--agent", v); }},
    {"--timeout", true, everyCommand,
     [](Invocation& in, std::string_view v) { return setSeconds(in.timeout, "--timeout", v); }},
    {"--since", true, bit(Command::watch),
     [](Invocation& in, std::string_view v) -> Error {
       auto seq = wholeNumber(v);
       if (!seq) return "--since needs a whole number, not " + quoted(v);
       in.since = *seq;
       return std::nullopt;
     }},
    {"--messages", true, bit(Command::watch),
     [](Invocation& in, std::string_view v) -> Error {
       auto count = wholeNumber(v);
       if (!count || *count == 0) return "--messages needs a whole number above 0, not " + quoted(v);
       in.messages = *count;
       return std::nullopt;
     }},
    {"--high-res", false, bit(Command::pull),
     [](Invocation& in, std::string_view) -> Error {
       in.highRes = true;
       return std::nullopt;
     }},
    {"--frame", true, bit(Command::pull),
     [](Invocation& in, std::string_view v) -> Error {
       in.frame = std::string(v);  // an empty path is the agent's to refuse
       return std::nullopt;
     }},
    {"--out", true, bit(Command::pull), [](Invocation& in, std::string_view v) { return setText(in.out, "--out", v); }},
    {"--settle", true, bit(Command::pull),
     [](Invocation& in, std::string_view v) -> Error {
       std::optional<double> settle;
       if (auto error = setSeconds(settle, "--settle", v)) return error;
       in.settle = *settle;
       return std::nullopt;
     }},
}};

std::optional<Command> commandNamed(std::string_view name) {
  if (name == "browse") return Command::browse;
  if (name == "watch") return Command::watch;
  if (name == "audit") return Command::audit;
  if (name == "pull") return Command::pull;
  if (name == "help") return Command::help;
  return std::nullopt;
}

bool asksForHelp(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--") return false;
    if (argument == "--help" || argument == "-h") return true;
  }
  return false;
}

// What a command needs beyond well-formed options.
Error checkComplete(const Invocation& in, std::string_view command) {
  const std::string name(command);
  if (in.command == Command::browse) return std::nullopt;
  if (!in.code) return name + " needs --code CODE";
  if (in.agent && (in.host || in.port)) return "give either --host and --port or --agent, not both";
  if (in.host.has_value() != in.port.has_value()) return "--host and --port go together";
  if (!in.agent && !in.host) return name + " needs --host H --port P, or --agent NAME";
  if (in.command == Command::audit && in.paths.empty()) return "audit needs at least one PATH";
  if (in.command == Command::pull) {
    if (!in.out) return "pull needs --out DIR";
    if (in.highRes && in.frame) return "--high-res and --frame cannot be combined";
  }
  return std::nullopt;
}

}  // namespace

Error setCode(Invocation& in, std::string_view from, std::string_view code) {
  const bool sixDigits =
      code.size() == 6 && std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!sixDigits) return std::string(from) + " needs the six digits the agent shows, not " + quoted(code);
  in.code = std::string(code);
  return std::nullopt;
}

std::variant<Invocation, UsageError> parseCommandLine(const std::vector<std::string>& arguments,
                                                      const std::optional<std::string>& environmentCode) {
  if (arguments.empty()) return UsageError{"no command given"};
  if (asksForHelp(arguments)) return Invocation{};
  const std::string& commandName = arguments.front();
  const auto command = commandNamed(commandName);
  if (!command) return UsageError{"unknown command " + quoted(commandName)};

  Invocation in;
  in.command = *command;
  if (in.command == Command::help) {
    if (arguments.size() > 1) return UsageError{"help takes no argument " + quoted(arguments[1])};
    return in;
  }

  std::set<std::string_view> seen;
  bool optionsEnded = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || !argument.starts_with("-") || argument == "-") {
      if (in.command != Command::audit) return UsageError{commandName + " takes no argument " + quoted(argument)};
      in.paths.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = argument.find('=');
    const std::string_view name = std::string_view(argument).substr(0, equals);
    const auto option = std::find_if(options.begin(), options.end(), [&](const Option& o) { return o.name == name; });
    if (option == options.end()) return UsageError{"unknown option " + std::string(name)};
    if (!(option->commands & bit(in.command))) return UsageError{commandName + " does not take " + std::string(name)};
    if (!seen.insert(option->name).second) return UsageError{std::string(name) + " is given twice"};

    std::string_view value;
    if (equals != std::string::npos) {
      if (!option->takesValue) return UsageError{std::string(name) + " takes no value"};
      value = std::string_view(argument).substr(equals + 1);
    } else if (option->takesValue) {
      if (i + 1 >= arguments.size()) return UsageError{std::string(name) + " needs a value"};
      value = arguments[++i];
    }
    if (auto error = option->set(in, value)) return UsageError{*error};
  }
  if (!in.code && environmentCode && in.command != Command::browse) {
    if (auto error = setCode(in, "VANTLE_CODE", *environmentCode)) return UsageError{*error};
  }
  if (auto error = checkComplete(in, commandName)) return UsageError{*error};
  return in;
}

std::string helpText() {
  return R"(Usage: vantle-companion COMMAND [OPTIONS]

A companion for an Orvane Vantle agent, on the command line. It finds agents
on the local network, pairs with one by its six-digit code and shows what the
agent sends. Standard output carries only results (one per line); state
changes ("connecting", "connected", "rejected" ...) and diagnostics go to
standard error.

Commands:
  browse [--timeout S]
      Looks for agents for S seconds (default 5) and prints one JSON object
      per agent per line as each is found:
        {"id":...,"name":...,"agentID":...,"host":...,"port":...}
      "agentID" is left out when the agent publishes none.

  watch --code CODE (--host H --port P | --agent NAME)
        [--since SEQ] [--messages N] [--timeout S]
      Connects, subscribes and prints every message received as one line of
      JSON, the message envelope as the agent sent it. --since SEQ subscribes
      as a companion that already holds the segments up to SEQ (default 0:
      the whole backlog). Stops after N messages or after S seconds; without
      either it runs until interrupted, reconnecting when the agent goes away.

  audit --code CODE (--host H --port P | --agent NAME) [--timeout S] PATH...
      Asks the agent to count the frames in each folder PATH (the first 500)
      and prints its "audited" message as one line of JSON. Default timeout
      30 seconds. Put -- before paths that begin with "-".

  pull --code CODE (--host H --port P | --agent NAME)
       [--high-res | --frame PATH] --out DIR [--settle S] [--timeout S]
      Asks for the image selected in Capture One on the agent's computer (at
      high resolution with --high-res), or for the frame at PATH with --frame,
      writes each image received into DIR (made when missing) and prints its
      file name. Several images may come; the pull ends once none has arrived
      for S seconds (--settle, default 3). When the agent cannot give an image
      its reason is printed to standard error. Default timeout 180 seconds.

  help, --help, -h
      Prints this text.

Options:
  --code CODE     the pairing code the agent shows: six digits. Other users
                  of this computer can read a command line: "--code -" reads
                  the code from standard input instead, and without --code
                  the environment variable VANTLE_CODE gives it
  --host H        the agent's address or host name
  --port P        the agent's port (the agent prefers 39182)
  --agent NAME    find the agent by browsing: its DNS-SD instance name or its
                  agent ID (both are printed by browse), compared exactly (up
                  to Unicode normalisation). A display name is not enough:
                  anyone on the network can show any name
  --timeout S     seconds the whole run may take, finding and connecting
                  included; decimals allowed
  Options take their value as the next argument or after "=" (--port=39182).

Connecting: a connection that cannot be made (nothing listening, no route)
is retried after 1, 2, 4, 8, 15, 15 ... seconds until the timeout. An agent
found with --agent is looked up by name again before every attempt, so one
that moved to another address or port is followed. A code the agent refuses
ends the run at once.

Trusting an agent found by name: the pairing code goes only to the one agent
the name or ID means. When several agents answer to it (two instances
claiming one agent ID, say), none is used: they are listed with their IDs, to
ask for one by its ID. The first time the code works with an agent found by
its instance name, its agent ID is remembered in
$XDG_STATE_HOME/vantle-companion/known-agents.json (else
~/.local/state/...). When that name is later advertised by a different agent
ID, the run warns and ends without handshaking: another computer may be
posing as the agent to learn the code. If the agent was reinstalled, ask for
it once by its new agent ID; that ID is then remembered for the name.

Exit codes:
  0  done (watch: it connected)
  1  connected, but no answer came in time, or an image could not be written
  2  the command line is wrong
  3  the agent refused the pairing code
  4  could not connect to the agent before the timeout (browse: could not browse)
  5  pull: the agent had no image to give
  6  --agent: more than one agent answers to NAME, or NAME is now advertised
     by another agent than the one the code was first used with
)";
}

}  // namespace vantle::tools
