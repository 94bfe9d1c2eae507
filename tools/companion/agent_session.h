// One run's connection to an agent.
//
// Finds the agent (at --host and --port, or by browsing for --agent NAME),
// connects with the pairing code, notes every state change on standard
// error and ends the run with exit code 3 when the agent refuses the code.
// The client keeps retrying a connection that cannot be made, so a command
// started before its agent connects once the agent is up; an agent found by
// browsing is looked up by name again on each attempt, so one that moved to
// another address or port is followed.
//
// An agent asked for by name is chosen once (agent_choice.h): a moment after
// the first agent that answers to the name appears, so that a second one can
// show itself too. Several answering, or an agent ID other than the one the
// name was first used with (known_agents.h), end the run with exit code 6
// before any handshake. The chosen agent's ID is then required on every
// look-up, and remembered for its name once the code has worked.
//
// Install message callbacks on `client()` before `start`. Every callback,
// `onConnected` included, runs on the client queue. The output and the run's
// end must outlive the session; the destructor disconnects and waits until
// the client queue has nothing more to report, so no callback runs after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "net/vantle_client.h"
#include "tools/companion/command_line.h"
#include "tools/companion/known_agents.h"
#include "tools/companion/output.h"
#include "tools/companion/run_end.h"

namespace vantle::tools {

class AgentSession {
 public:
  AgentSession(const Invocation& invocation, Output& output, RunEnd& end);
  ~AgentSession();
  AgentSession(const AgentSession&) = delete;
  AgentSession& operator=(const AgentSession&) = delete;

  net::VantleClient& client() { return *client_; }

  // `onConnected` runs each time a connection becomes ready, after the
  // client has subscribed.
  void start(std::function<void()> onConnected);

  bool everConnected() const { return everConnected_; }

  // The exit code for a run that ended without a code of its own: `ifConnected`
  // once connected, else 4 (could not connect), said on standard error.
  int codeAfterWaiting(int ifConnected);

 private:
  // On the chooser thread: waits for the agents that answer to the name,
  // then uses one or refuses them.
  void choose();
  void use(const std::vector<net::DiscoveredAgent>& meant);
  // On the client queue, after browsing changed.
  void hintAtDisplayNames(const std::vector<net::DiscoveredAgent>& agents);
  // On the client queue, once connected.
  void rememberChosen();

  const Invocation& invocation_;
  Output& output_;
  RunEnd& end_;
  std::shared_ptr<net::VantleClient> client_;
  std::atomic<bool> everConnected_{false};
  std::atomic<bool> closing_{false};  // the run is over: state changes are no news
  bool browsing_ = false;
  std::optional<KnownAgents> known_;  // with --agent, where a home can keep it
  std::set<std::string> hinted_;      // on the client queue

  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  std::vector<net::DiscoveredAgent> found_;     // what browsing found last
  std::optional<net::DiscoveredAgent> chosen_;  // set once, before connecting
  std::thread chooser_;
};

}  // namespace vantle::tools
