// The agent each name was first used with, remembered on this computer.
//
// A companion that reaches an agent by its instance name remembers the agent
// ID that answered when the pairing code first worked, so that another
// computer advertising that name later is noticed before it is handed a
// handshake. The memory is one small JSON file, readable by the user alone,
// read whole on construction and replaced atomically on each change. A file
// that is missing, too large or not understood counts as empty: nothing is
// remembered from it, and the next change replaces it. At most `capacity`
// names are kept; the one used longest ago is forgotten first.
//
// Not thread-safe: one run uses it from one thread at a time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantle::tools {

class KnownAgents {
 public:
  static constexpr size_t capacity = 256;

  // known-agents.json in the user's state folder, under vantle-companion/;
  // nullopt when there is no home to keep it in.
  static std::optional<std::filesystem::path> standardFile();

  explicit KnownAgents(std::filesystem::path file);

  // The agent ID `name` was first used with, if it is remembered.
  std::optional<std::string> agentFor(const std::string& name) const;

  // Remembers that `name` is the agent `agentID` and writes the file.
  // Returns nullopt on success, else why the file could not be written.
  std::optional<std::string> remember(const std::string& name, const std::string& agentID);

 private:
  std::filesystem::path file_;
  std::vector<std::pair<std::string, std::string>> names_;  // (name, agent ID), least recently used first
};

}  // namespace vantle::tools
