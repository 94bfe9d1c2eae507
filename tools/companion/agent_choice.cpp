#include "tools/companion/agent_choice.h"

#include <algorithm>

#include "core/unicode.h"

namespace vantle::tools {

namespace {

bool answersTo(const net::DiscoveredAgent& agent, std::string_view wanted) {
  return core::canonicallyEqual(agent.id, wanted) || (agent.agentID && core::canonicallyEqual(*agent.agentID, wanted));
}

}  // namespace

std::vector<net::DiscoveredAgent> agentsMeant(const std::vector<net::DiscoveredAgent>& agents,
                                              std::string_view wanted) {
  std::vector<std::string> ids;
  for (const net::DiscoveredAgent& agent : agents) {
    if (answersTo(agent, wanted) && agent.agentID) ids.push_back(*agent.agentID);
  }
  std::vector<net::DiscoveredAgent> meant;
  for (const net::DiscoveredAgent& agent : agents) {
    const bool sharesAnID = agent.agentID && std::find(ids.begin(), ids.end(), *agent.agentID) != ids.end();
    if (answersTo(agent, wanted) || sharesAnID) meant.push_back(agent);
  }
  return meant;
}

std::vector<net::DiscoveredAgent> agentsOnlyDisplayedAs(const std::vector<net::DiscoveredAgent>& agents,
                                                        std::string_view wanted) {
  std::vector<net::DiscoveredAgent> displayed;
  for (const net::DiscoveredAgent& agent : agents) {
    if (core::canonicallyEqual(agent.name, wanted) && !answersTo(agent, wanted)) displayed.push_back(agent);
  }
  return displayed;
}

std::string candidateLine(const net::DiscoveredAgent& agent) {
  std::string line = "\"" + agent.id + "\", agent ID " + agent.agentID.value_or("(none)");
  if (agent.name != agent.id) line += ", shown as \"" + agent.name + "\"";
  const net::Endpoint& at = agent.endpoint;
  return line + ", at " + net::Endpoint{at.host, at.port, std::nullopt}.description();
}

}  // namespace vantle::tools
