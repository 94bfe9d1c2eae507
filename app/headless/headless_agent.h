// The agent in a terminal or as a user service: the controller without a
// menu, its news printed line by line, commands read from standard input.
//
// One serial queue, "com.orvane.vantle.main", plays the main thread: the
// controller's published state lives there, and every command and every
// printed line runs there, so output lines never interleave. Standard input
// is read on a thread of its own; its end does not stop the agent. run()
// returns when `quit` is read or a stop signal arrives, after the agent has
// stopped and every record is on disk.
#pragma once

#include <signal.h>

#include <future>
#include <memory>
#include <optional>
#include <string>

#include "app/agent_command.h"
#include "app/agent_controller.h"
#include "app/agent_options.h"
#include "app/bus/agent_bus.h"
#include "support/serial_queue.h"

namespace vantle::app {

class HeadlessAgent : public std::enable_shared_from_this<HeadlessAgent> {
 public:
  // With a `bus`, the agent serves its commands and publishes its state there.
  static std::shared_ptr<HeadlessAgent> create(AgentOptions options, std::unique_ptr<AgentBus> bus = nullptr);

  // Starts the agent, serves until told to stop, and returns the exit code:
  // 0 when stopped on request, 1 when the listener could not start.
  // `stops` are the blocked signals that end it (SIGINT, SIGTERM).
  int run(const sigset_t& stops);

 private:
  HeadlessAgent(AgentOptions options, std::unique_ptr<AgentBus> bus);

  // On the main queue.
  void begin();
  void announceCode();
  void announceBrowserAddress();
  std::string pairingCodeLine(const std::string& code) const;
  void command(const std::string& line);
  void perform(const AgentCommand& command);
  void showChange(const agent::AgentController::State& state);
  void showStatus(const agent::AgentController::State& state, bool always);
  void showSegment(const core::WireSegment& segment);
  void showVerification(const core::ShootVerification& verification);

  static void readCommands(const std::weak_ptr<HeadlessAgent>& agent, const std::shared_ptr<support::SerialQueue>& main);
  void exit(int code);

  const AgentOptions options_;
  const bool terminal_;
  const bool journal_;  // standard output goes to the journal
  std::shared_ptr<support::SerialQueue> main_;
  std::shared_ptr<agent::AgentController> controller_;
  std::unique_ptr<AgentBus> bus_;
  std::promise<int> exit_;
  std::once_flag exitOnce_;

  // On the main queue: what was printed last.
  std::optional<std::string> shownStatus_;
  std::optional<int64_t> shownPeers_;
  std::optional<std::string> shownError_;
};

}  // namespace vantle::app
