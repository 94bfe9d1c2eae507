// One thing a user asks of a running agent: a line typed on the terminal
// agent's standard input, or a method called on the session bus (which is
// what `vantle-agent ctl` does). Both interfaces perform the same commands,
// so they are one value; each interface parses its own words.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantle::app {

struct AgentCommand {
  enum class Kind {
    endShoot,
    resumeShoot,
    newPairingCode,
    countAll,        // `on`
    shareWithBrowsers,  // `on`
    stopClockAfter,  // `minutes`
    watch,           // `folder`, absolute
    captureOne,      // back to the capture application: forget the watched folder
    showStatus,
    showQrCode,
    showWindow,  // the menu application's window, for a second launch
    stop,
    start,
    quit,
  };
  Kind kind = Kind::showStatus;
  bool on = false;
  double minutes = 0;
  std::string folder;

  bool operator==(const AgentCommand&) const = default;
};

// The command a line of the terminal agent names: "end", "resume", "code",
// "count-all on|off", "browsers on|off", "stop-clock-after MINUTES", "watch DIR", "capture-one",
// "status", "quit"; nullopt for anything else. A folder is taken as typed:
// the caller checks it and makes it absolute.
std::optional<AgentCommand> parseTerminalCommand(std::string_view line);

}  // namespace vantle::app
