// The running agent on the user's session bus.
//
// The agent owns the well-known name org.orvane.Vantle1 and serves the
// object /org/orvane/Vantle1 with the interface org.orvane.Vantle1 (its
// introspection is installed as org.orvane.Vantle1.xml): the controller's
// published state as properties, announced with PropertiesChanged, and a
// method for every command of the menu and of the terminal. The pairing
// code is a method (PairingCode), never a property: a property would be
// sent to everyone watching PropertiesChanged. The session bus lets only
// the user's own processes call it.
//
// `claim` takes the name, or says who has it: there is one agent per user.
// The bus has a thread of its own; property reads and the checks that a
// command can be done (a folder exists, a shoot can be resumed) are
// answered there from the last published state. Once `serve` is called each
// command is handed to its `perform` on that thread, which must pass it to
// the interface's own thread and return; before, commands are refused as
// the agent is starting. `serve` and `publish` may be called from any
// thread. Should the bus go away the agent keeps counting and claims the
// name again every ten seconds. Destroying the AgentBus releases the name
// and joins the thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/agent_command.h"

namespace vantle::app {

inline constexpr const char* busName = "org.orvane.Vantle1";
inline constexpr const char* busPath = "/org/orvane/Vantle1";
inline constexpr const char* busInterface = "org.orvane.Vantle1";
// The error a refused command answers with; its message is for the user.
inline constexpr const char* busRefusedError = "org.orvane.Vantle1.Error.Refused";

// What the bus shows of the agent.
struct AgentBusState {
  std::string status;                    // the menu's status line
  std::string remedy;                    // what to do about it; empty when nothing
  std::vector<std::string> statusLines;  // what `status` prints, the code left out
  int64_t frameCount = 0;
  bool running = false;
  std::string shoot = "none";  // "running", "ended" (it can be resumed) or "none"
  int64_t companions = 0;
  uint16_t port = 0;   // 0 while not listening
  std::string folder;  // the watched folder; empty when reading the capture application
  bool countAll = false;
  double stopClockAfterMinutes = 5;
  std::string pairingCode;  // empty while stopped
  bool sharesWithBrowsers = false;
  std::string browserAddress;      // empty while browsers are not served
  std::string browserFingerprint;

  bool operator==(const AgentBusState&) const = default;
};

class AgentBus {
 public:
  using Perform = std::function<void(const AgentCommand&)>;

  struct AlreadyRunning {
    std::optional<pid_t> pid;  // of the agent that owns the name, when the bus says
  };
  struct NoBus {
    std::string reason;
  };
  using Claim = std::variant<std::unique_ptr<AgentBus>, AlreadyRunning, NoBus>;

  // `showsWindows` says whether ShowQRCode and ShowWindow mean anything here
  // (the menu application); elsewhere they are refused.
  static Claim claim(bool showsWindows);
  ~AgentBus();
  AgentBus(const AgentBus&) = delete;
  AgentBus& operator=(const AgentBus&) = delete;

  void serve(Perform perform);
  void publish(AgentBusState state);

  struct Impl;

 private:
  explicit AgentBus(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantle::app
