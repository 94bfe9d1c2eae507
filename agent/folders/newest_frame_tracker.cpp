#include "agent/folders/newest_frame_tracker.h"

namespace vantle::agent {

std::optional<std::string> NewestFrameTracker::note(const std::string& folder,
                                                    const FrameNames& names,
                                                    const std::optional<std::string>& lastFileName) {
  const auto previous = seen.find(folder);
  if (previous != seen.end()) {
    const FrameNames& before = previous->second;
    std::optional<std::string_view> greatestAdded;
    for (std::string_view name : names) {
      if (!before.contains(name) && (!greatestAdded || name > *greatestAdded)) greatestAdded = name;
    }
    if (greatestAdded) {
      newest[folder] = std::string(*greatestAdded);
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

std::optional<std::string> NewestFrameTracker::update(const std::string& folder,
                                                      const std::optional<std::string>& appeared, bool empty) {
  if (appeared) {
    newest[folder] = *appeared;
  } else if (empty) {
    newest.erase(folder);
  }
  const auto found = newest.find(folder);
  if (found == newest.end()) return std::nullopt;
  return found->second;
}

}  // namespace vantle::agent
