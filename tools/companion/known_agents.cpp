#include "tools/companion/known_agents.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/vantle_coding.h"
#include "support/user_files.h"

namespace vantle::tools {

namespace {
// Room for `capacity` long names with their IDs, and not much more.
constexpr size_t largestFile = 256 * 1024;
}  // namespace

std::optional<std::filesystem::path> KnownAgents::standardFile() {
  const std::optional<std::filesystem::path> state = support::stateHome();
  if (!state) return std::nullopt;
  return *state / "vantle-companion" / "known-agents.json";
}

KnownAgents::KnownAgents(std::filesystem::path file) : file_(std::move(file)) {
  const std::optional<std::string> text = support::readSmallFile(file_, largestFile);
  if (!text) return;
  const std::optional<core::Json> parsed = core::VantleCoding::parse(*text);
  if (!parsed || !parsed->is_object() || !parsed->contains("agents") || !(*parsed)["agents"].is_array()) return;
  for (const core::Json& entry : (*parsed)["agents"]) {
    if (names_.size() == capacity) break;
    if (!entry.is_object()) continue;
    const auto name = entry.find("name");
    const auto agentID = entry.find("agentID");
    if (name == entry.end() || agentID == entry.end() || !name->is_string() || !agentID->is_string()) continue;
    names_.emplace_back(name->get<std::string>(), agentID->get<std::string>());
  }
}

std::optional<std::string> KnownAgents::agentFor(const std::string& name) const {
  for (const auto& [known, agentID] : names_) {
    if (known == name) return agentID;
  }
  return std::nullopt;
}

std::optional<std::string> KnownAgents::remember(const std::string& name, const std::string& agentID) {
  std::erase_if(names_, [&](const auto& entry) { return entry.first == name; });
  if (names_.size() == capacity) names_.erase(names_.begin());
  names_.emplace_back(name, agentID);
  core::Json agents = core::Json::array();
  for (const auto& [known, id] : names_) agents.push_back({{"name", known}, {"agentID", id}});
  const core::Json document = {{"agents", agents}};
  return support::replaceFile(file_, core::VantleCoding::dump(document) + "\n", 0600);
}

}  // namespace vantle::tools
