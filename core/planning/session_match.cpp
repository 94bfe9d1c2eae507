#include "core/planning/session_match.h"

#include <algorithm>

#include "core/trimmed.h"
#include "core/unicode.h"

namespace vantle::core::SessionMatch {

std::optional<std::string> normalised(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  const std::string_view core = trimmed(*name);
  if (core.empty()) return std::nullopt;
  return lowercased(core);
}

State evaluate(const std::optional<std::string>& jobName, const std::optional<std::string>& liveName) {
  const std::optional<std::string> job = normalised(jobName);
  const std::optional<std::string> live = normalised(liveName);
  if (!job || !live) return Unknown{};
  if (*job == *live) return Matched{};
  return Mismatched{*jobName, *liveName};
}

State evaluate(std::span<const std::string> jobIDs, const std::optional<std::string>& liveID,
               const std::optional<std::string>& jobName, const std::optional<std::string>& liveName) {
  if (!liveID || jobIDs.empty()) return evaluate(jobName, liveName);
  if (std::find(jobIDs.begin(), jobIDs.end(), *liveID) != jobIDs.end()) return Matched{};
  return Mismatched{jobName.value_or("this job's session"), liveName.value_or("another session")};
}

}  // namespace vantle::core::SessionMatch
