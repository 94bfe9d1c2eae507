#include <atomic>
#include <set>

#include <nlohmann/json.hpp>

#include "core/vantle_coding.h"
#include "net/vantle_client.h"
#include "tools/companion/commands.h"

namespace vantle::tools {

namespace {

constexpr double defaultBrowseSeconds = 5;

std::string agentLine(const net::DiscoveredAgent& agent) {
  core::Json line = core::Json::object();
  line["id"] = agent.id;
  line["name"] = agent.name;
  if (agent.agentID) line["agentID"] = *agent.agentID;
  line["host"] = agent.endpoint.host;
  line["port"] = agent.endpoint.port;
  return core::VantleCoding::dump(line);
}

}  // namespace

int runBrowse(const Invocation& invocation, Output& output, RunEnd& end) {
  auto client = net::VantleClient::create();
  std::set<std::string> printed;  // on the client queue
  std::atomic<bool> failed = false;
  client->onAgentsChanged = [&](const std::vector<net::DiscoveredAgent>& agents) {
    if (end.ended()) return;
    for (const net::DiscoveredAgent& agent : agents) {
      if (printed.insert(agent.id).second) output.result(agentLine(agent));
    }
  };
  client->onStateChange = [&](const net::VantleConnectionState& state) {
    if (end.ended()) return;
    output.note(state.description());
    if (state.kind == net::VantleConnectionState::Kind::failed) failed = true;
  };
  client->startBrowsing();
  end.wait(deadlineAfter(invocation.timeout.value_or(defaultBrowseSeconds)));
  client->stopBrowsing();  // waits for the client queue, so `printed` is settled
  return failed && printed.empty() ? exitcode::unreachable : exitcode::ok;
}

}  // namespace vantle::tools
