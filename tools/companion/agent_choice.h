// Which advertised agent `--agent WANTED` means.
//
// An agent is asked for by its DNS-SD instance name, which the network keeps
// unique among the agents it hears, or by its agent ID. The record's display
// name is not enough: anyone on the network may advertise any display name,
// and a companion that handshakes with a look-alike hands it a transcript in
// which the pairing code can be searched offline.
//
// Pure functions of the list browsing found; nothing here touches the network.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "net/vantle_client.h"

namespace vantle::tools {

// The agents whose instance name or agent ID is `wanted`, with every other
// agent that advertises one of their agent IDs: two instances claiming one
// installation's ID are a copy and its original, and only the user can tell
// which. One agent is a choice; more than one is ambiguous and must be
// refused, listing them with `candidateLine`.
std::vector<net::DiscoveredAgent> agentsMeant(const std::vector<net::DiscoveredAgent>& agents, std::string_view wanted);

// Agents that are only displayed as `wanted`: the user likely typed a display
// name, which is not enough to choose by.
std::vector<net::DiscoveredAgent> agentsOnlyDisplayedAs(const std::vector<net::DiscoveredAgent>& agents,
                                                        std::string_view wanted);

// One agent for the user to choose by: its instance name, agent ID, display
// name when it differs, and where it is.
std::string candidateLine(const net::DiscoveredAgent& agent);

}  // namespace vantle::tools
