#include "app/agent_options.h"

#include <charconv>
#include <cmath>

namespace vantle::app {

std::optional<double> parseMinutes(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || !std::isfinite(value) || value <= 0 || value > 24 * 60) return std::nullopt;
  return value;
}

std::variant<AgentOptions, UsageError> parseAgentOptions(const std::vector<std::string>& arguments) {
  AgentOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    const auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= arguments.size()) return std::nullopt;
      return arguments[++i];
    };
    if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--headless") {
      options.headless = true;
    } else if (option == "--count-all") {
      options.countAll = true;
    } else if (option == "--watch") {
      const auto folder = value();
      if (!folder || folder->empty()) return UsageError{"--watch needs a folder"};
      std::error_code error;
      if (!std::filesystem::is_directory(*folder, error)) return UsageError{"--watch: no such folder: " + *folder};
      options.watch = std::filesystem::absolute(*folder, error);
    } else if (option == "--port" || option == "--web-port") {
      const auto text = value();
      if (!text) return UsageError{option + " needs a port number"};
      unsigned port = 0;
      const char* end = text->data() + text->size();
      const auto [at, error] = std::from_chars(text->data(), end, port);
      if (error != std::errc() || at != end || port > 65535) {
        return UsageError{option + " needs a port number from 0 to 65535, not '" + *text + "'"};
      }
      (option == "--port" ? options.port : options.webPort) = static_cast<uint16_t>(port);
    } else if (option == "--web") {
      options.web = true;
    } else if (option == "--name") {
      const auto name = value();
      if (!name || name->find_first_not_of(" \t") == std::string::npos) return UsageError{"--name needs a name"};
      options.name = *name;
    } else if (option == "--stop-clock-after") {
      const auto text = value();
      if (!text) return UsageError{"--stop-clock-after needs a number of minutes"};
      const auto minutes = parseMinutes(*text);
      if (!minutes) return UsageError{"--stop-clock-after needs minutes above 0 and at most 1440, not '" + *text + "'"};
      options.stopClockAfterMinutes = *minutes;
    } else {
      return UsageError{"unknown option '" + option + "'"};
    }
  }
  return options;
}

std::string agentHelpText() {
  return R"(Usage: vantle-agent [--headless] [OPTIONS]

Counts the frames landing in the capture folder, splits the day into shots,
keeps a record of every shot and serves it live to paired companions.

Options:
  --headless                 run in the terminal, without the menu
  --watch DIR                watch DIR for new frames instead of reading
                             Capture One's capture folder
  --port PORT                listen on PORT instead of 39182 (a system port
                             when it is taken; 0 asks for one straight away)
  --name NAME                the name companions see instead of the computer's
  --web                      let browsers follow the shoot for this run, as
                             "Share with Browsers" does
  --web-port PORT            serve browsers on PORT instead of 39183
  --count-all                count every image, not only RAW captures
  --stop-clock-after MINUTES stop the shot clock after MINUTES without a new
                             frame (default 5)
  -h, --help                 show this help

Standard output, one line each: the pairing code (and a QR code of it on a
terminal; when standard output is the journal, as under the user service,
the code is left out and 'vantle-agent ctl code' shows it), the port, the name companions browse, with --web the
browser address and its certificate's fingerprint (the address, which holds a secret, is left out of the journal
too), the status whenever it changes, each closed shot, each ended shoot with its folder counts, and the
number of connected companions.

Commands, one a line on standard input:
  end                        end the shoot
  resume                     resume the shoot just ended
  code                       make a new pairing code (companions pair again)
  count-all on|off           count every image, or only RAW captures
  browsers on|off            let browsers follow the shoot, or stop serving them
  stop-clock-after MINUTES   the idle threshold of the shot clock
  watch DIR                  watch DIR for new frames
  capture-one                read Capture One's capture folder again
  status                     show the status
  quit                       stop and exit
The end of standard input does not stop the agent; Ctrl-C, SIGTERM or SIGHUP
(its terminal closed) does, once every record is on disk. Started as a
background job (vantle-agent --headless &), it reads commands only once
brought to the foreground, and a closed standard output does not stop it.

Talking to the running agent (menu or headless) over the session bus:
  vantle-agent ctl status [--json]     its status lines, or all its state as one JSON object
  vantle-agent ctl code                its pairing code
  vantle-agent ctl new-code            make a new pairing code (companions pair again)
  vantle-agent ctl end | resume        end the shoot, or resume the one just ended
  vantle-agent ctl watch DIR           watch DIR for new frames (and at the next launch)
  vantle-agent ctl capture-one         read Capture One's capture folder again
  vantle-agent ctl count-all on|off    count every image, or only RAW captures
  vantle-agent ctl browsers on|off     let browsers follow the shoot (and at the next launch)
  vantle-agent ctl browser             the browser address and its certificate's fingerprint
  vantle-agent ctl stop-clock-after MINUTES
  vantle-agent ctl show-qr             show the pairing QR code (menu only)
  vantle-agent ctl stop | start        stop serving companions, or start again
  vantle-agent ctl quit                stop and exit
ctl's exit codes: 0 done, 1 no agent is running, 2 a wrong command line,
3 the agent refused the command (it says why).

Hooks: executables in ~/.config/OrvaneVantle/hooks/ named frame-landed,
shot-closed or shoot-ended run on those events, without a shell, with the
event's facts in VANTLE_* environment variables (see the README); one at a
time each, stopped after 30 seconds.

Environment:
  VANTLE_STORAGE_ROOT        where the record of shots is kept (default
                             $XDG_DATA_HOME/OrvaneVantle)

Exit codes:
  0  stopped on request (quit, Ctrl-C, SIGTERM or SIGHUP), every record on disk
  1  the listener could not start
  2  a bad option or value
  3  an agent is already running for this user (it is left as it is: a
     menu application is asked to show itself and this one exits 0), or
     another agent keeps the record in the same storage
  128 + N  a second signal N while stopping: it exits at once (130 for a
     second Ctrl-C, 143 for SIGTERM, 129 for SIGHUP); records already
     written stay whole
)";
}

}  // namespace vantle::app
