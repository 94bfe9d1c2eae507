// Which frame of each folder is the newest, from successive listings.
//
// A frame is new when its name was not in the folder's previous listing;
// the newest is the greatest of the names that just appeared (byte order,
// as in Listing::lastFileName). So a frame whose name sorts below older
// ones is still seen, and a frame that comes back under an old name is not
// taken for a new one. The first listing of a folder takes its last name.
//
// A folder being watched is followed change by change (update) rather than
// listing by listing; when it is left, its names are kept (leave) for the
// next visit's first listing to be compared with.
//
// A plain value, owned and used on the frame watcher's queue only.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "agent/folders/frame_names.h"

namespace vantle::agent {

struct NewestFrameTracker {
  std::map<std::string, FrameNames> seen;  // folder → frame names when last listed or left
  std::map<std::string, std::string> newest;  // folder → its newest frame, when known

  // Updates the folder from a listing's names and last file name and returns
  // its newest frame, or absent.
  std::optional<std::string> note(const std::string& folder, const FrameNames& names,
                                  const std::optional<std::string>& lastFileName);

  // Updates the folder after a change: `appeared` is the greatest frame name
  // that appeared in it, if any; `empty` says whether it now has no frames.
  // Returns its newest frame, or absent.
  std::optional<std::string> update(const std::string& folder, const std::optional<std::string>& appeared, bool empty);

  // Keeps the folder's frame names as it is left.
  void leave(const std::string& folder, FrameNames names) { seen[folder] = std::move(names); }
};

}  // namespace vantle::agent
