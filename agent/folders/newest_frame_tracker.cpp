#include "agent/folders/newest_frame_tracker.h"

namespace vantle::agent {

std::optional<std::string> NewestFrameTracker::note(const std::string& folder, const std::set<std::string>& names,
                                                    const std::optional<std::string>& lastFileName) {
  const auto previous = seen.find(folder);
  if (previous != seen.end()) {
    const std::set<std::string>& before = previous->second;
    std::optional<std::string> greatestAdded;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {  // descending: the first new one is the greatest
      if (!before.contains(*it)) {
        greatestAdded = *it;
        break;
      }
    }
    if (greatestAdded) {
      newest[folder] = *greatestAdded;
    } else if (names.empty()) {
      newest.erase(folder);
    }
    previous->second = names;
  } else {
    seen.emplace(folder, names);
    if (newest.contains(folder)) {
      if (names.empty()) newest.erase(folder);
    } else if (lastFileName) {
      newest[folder] = *lastFileName;
    }
  }
  const auto found = newest.find(folder);
  if (found == newest.end()) return std::nullopt;
  return found->second;
}

}  // namespace vantle::agent
