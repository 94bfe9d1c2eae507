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
// Install message callbacks on `client()` before `start`. Every callback,
// `onConnected` included, runs on the client queue. The output and the run's
// end must outlive the session; the destructor disconnects and waits until
// the client queue has nothing more to report, so no callback runs after it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "net/vantle_client.h"
#include "tools/companion/command_line.h"
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
  void connectToFoundAgent(const std::vector<net::DiscoveredAgent>& agents);

  const Invocation& invocation_;
  Output& output_;
  RunEnd& end_;
  std::shared_ptr<net::VantleClient> client_;
  std::atomic<bool> everConnected_{false};
  std::atomic<bool> closing_{false};  // the run is over: state changes are no news
  bool browsing_ = false;
  bool found_ = false;  // on the client queue
};

}  // namespace vantle::tools
