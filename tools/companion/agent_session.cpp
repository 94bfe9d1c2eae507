#include "tools/companion/agent_session.h"

#include "core/unicode.h"
#include "tools/companion/agent_choice.h"

namespace vantle::tools {

using State = net::VantleConnectionState;

namespace {
// Agents answering one query arrive within a fraction of a second of each
// other: the choice waits this long after the first for any other.
constexpr auto settleTime = std::chrono::seconds(1);
}  // namespace

AgentSession::AgentSession(const Invocation& invocation, Output& output, RunEnd& end)
    : invocation_(invocation), output_(output), end_(end), client_(net::VantleClient::create()) {
  if (!invocation_.agent) return;
  if (auto file = KnownAgents::standardFile()) known_.emplace(*file);
}

AgentSession::~AgentSession() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  if (chooser_.joinable()) chooser_.join();
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
      if (!everConnected_.exchange(true)) rememberChosen();
      onConnected();
    }
  };
  if (invocation_.agent) {
    client_->onAgentsChanged = [this](const std::vector<net::DiscoveredAgent>& agents) {
      hintAtDisplayNames(agents);
      std::lock_guard lock(mutex_);
      found_ = agents;
      changed_.notify_all();
    };
    output_.note("looking for \"" + *invocation_.agent + "\"");
    browsing_ = true;
    client_->startBrowsing();
    chooser_ = std::thread([this] { choose(); });
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

void AgentSession::choose() {
  const std::string& wanted = *invocation_.agent;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return closing_ || !agentsMeant(found_, wanted).empty(); });
    if (changed_.wait_for(lock, settleTime, [&] { return bool(closing_); })) return;
    std::vector<net::DiscoveredAgent> meant = agentsMeant(found_, wanted);
    if (meant.empty()) continue;  // gone again: wait for the next
    lock.unlock();
    use(meant);
    return;
  }
}

void AgentSession::use(const std::vector<net::DiscoveredAgent>& meant) {
  if (end_.ended()) return;
  const std::string& wanted = *invocation_.agent;
  if (meant.size() > 1) {
    output_.note("more than one agent answers to \"" + wanted + "\"; the code was sent to none of them:");
    for (const net::DiscoveredAgent& agent : meant) output_.note("  " + candidateLine(agent));
    output_.note("ask for one by its agent ID with --agent ID");
    end_.finish(exitcode::untrusted);
    return;
  }
  const net::DiscoveredAgent& agent = meant.front();
  const bool askedByID = agent.agentID && core::canonicallyEqual(*agent.agentID, wanted);
  if (known_ && agent.agentID && !askedByID) {
    if (auto first = known_->agentFor(agent.id); first && *first != *agent.agentID) {
      output_.note("WARNING: \"" + agent.id + "\" is now advertised by agent ID " + *agent.agentID +
                   ", but the pairing code was first used under that name with agent ID " + *first +
                   ". Another computer may be posing as your agent to learn the code: it was not sent.");
      output_.note("If the agent was reinstalled, check its ID with 'vantle-companion browse' and ask for it once "
                   "with --agent " + *agent.agentID + ".");
      end_.finish(exitcode::untrusted);
      return;
    }
  }
  net::Endpoint endpoint = agent.endpoint;
  endpoint.agentID = agent.agentID;
  {
    std::lock_guard lock(mutex_);
    chosen_ = agent;
  }
  output_.note("found " + candidateLine(agent));
  client_->connect(endpoint, *invocation_.code);
}

void AgentSession::hintAtDisplayNames(const std::vector<net::DiscoveredAgent>& agents) {
  for (const net::DiscoveredAgent& agent : agentsOnlyDisplayedAs(agents, *invocation_.agent)) {
    if (!hinted_.insert(agent.id).second) continue;
    output_.note("\"" + agent.name + "\" is only the name an agent shows, which anyone can show; to use " +
                 candidateLine(agent) + ", ask for its instance name or agent ID");
  }
}

void AgentSession::rememberChosen() {
  std::optional<net::DiscoveredAgent> chosen;
  {
    std::lock_guard lock(mutex_);
    chosen = chosen_;
  }
  if (!chosen || !chosen->agentID || !known_ || known_->agentFor(chosen->id) == chosen->agentID) return;
  if (auto why = known_->remember(chosen->id, *chosen->agentID)) {
    output_.note("could not remember which agent \"" + chosen->id + "\" is: " + *why);
  }
}

}  // namespace vantle::tools
