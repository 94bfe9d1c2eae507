#include "tools/companion/agent_session.h"

#include "core/unicode.h"

namespace vantle::tools {

using State = net::VantleConnectionState;

AgentSession::AgentSession(const Invocation& invocation, Output& output, RunEnd& end)
    : invocation_(invocation), output_(output), end_(end), client_(net::VantleClient::create()) {}

AgentSession::~AgentSession() {
  closing_ = true;
  if (browsing_) client_->stopBrowsing();
  client_->disconnect();
  client_->state();  // waits for the disconnect, after which the client is silent
}

void AgentSession::start(std::function<void()> onConnected) {
  client_->onStateChange = [this, onConnected = std::move(onConnected)](const State& state) {
    if (closing_ || end_.ended()) return;
    output_.note(state.description());
    if (state.kind == State::Kind::rejected) {
      output_.note("the agent refused the pairing code");
      end_.finish(exitcode::rejected);
    } else if (state.isConnected()) {
      everConnected_ = true;
      onConnected();
    }
  };
  if (invocation_.agent) {
    client_->onAgentsChanged = [this](const std::vector<net::DiscoveredAgent>& agents) {
      connectToFoundAgent(agents);
    };
    output_.note("looking for \"" + *invocation_.agent + "\"");
    browsing_ = true;
    client_->startBrowsing();
    return;
  }
  client_->connect(net::Endpoint{*invocation_.host, *invocation_.port, std::nullopt}, *invocation_.code);
}

int AgentSession::codeAfterWaiting(int ifConnected) {
  if (everConnected_) return ifConnected;
  output_.note(invocation_.agent ? "could not connect to \"" + *invocation_.agent + "\""
                                 : "could not connect to " + *invocation_.host + ":" + std::to_string(*invocation_.port));
  return exitcode::unreachable;
}

void AgentSession::connectToFoundAgent(const std::vector<net::DiscoveredAgent>& agents) {
  if (found_ || end_.ended()) return;
  for (const net::DiscoveredAgent& agent : agents) {
    if (core::canonicallyEqual(agent.name, *invocation_.agent) || core::canonicallyEqual(agent.id, *invocation_.agent)) {
      found_ = true;
      output_.note("found " + agent.endpoint.description());
      client_->connect(agent.endpoint, *invocation_.code);
      return;
    }
  }
}

}  // namespace vantle::tools
