// Is the capture session the agent reports the one this job expects?
//
// Identifiers decide when both sides have them; otherwise names are compared
// after trimming and lower-casing. A mismatch carries the two names as given,
// for a companion to show.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>

namespace vantle::core::SessionMatch {

struct Mismatched {
  std::string job;
  std::string session;
  bool operator==(const Mismatched&) const = default;
};
struct Unknown {
  bool operator==(const Unknown&) const = default;
};
struct Matched {
  bool operator==(const Matched&) const = default;
};

using State = std::variant<Mismatched, Unknown, Matched>;

inline bool isMismatched(const State& state) { return std::holds_alternative<Mismatched>(state); }

// `name` trimmed of white space and line breaks and lower-cased; nullopt for
// nullopt or for a name that trims to nothing.
std::optional<std::string> normalised(const std::optional<std::string>& name);

// Unknown when either name normalises to nothing; Matched when both normalise
// alike; otherwise Mismatched with both names exactly as given.
State evaluate(const std::optional<std::string>& jobName, const std::optional<std::string>& liveName);

// With a live identifier and at least one job identifier, the identifiers
// decide alone (exact comparison); a mismatch then names the sides, falling
// back to "this job's session" and "another session". Otherwise as
// evaluate(jobName, liveName).
State evaluate(std::span<const std::string> jobIDs, const std::optional<std::string>& liveID,
               const std::optional<std::string>& jobName, const std::optional<std::string>& liveName);

}  // namespace vantle::core::SessionMatch
