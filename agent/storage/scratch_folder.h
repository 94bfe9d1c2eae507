// The agent's scratch folder under the storage root ("quickproof"), where
// the capture application writes the proofs it renders for a companion.
//
// The folder is trusted only when it is a real directory strictly below the
// root: every component below the root is opened without following links, so
// a scratch folder that is a link (to the root itself, or anywhere else) is
// neither emptied nor read. Emptying removes only entries of the folder
// actually opened, through its descriptor, and never follows a link inside
// it. Thread-safe; failures are absent or empty results, never exceptions.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "agent/storage/descriptor.h"

namespace vantle::agent::ScratchFolder {

// The folder `name` below `root` (a relative path of one or more
// components), opened as a directory, made first when `create` is set and it
// is missing. Absent when it is not strictly below the root, when any of its
// components is a link or not a directory, or when it cannot be opened.
std::optional<Descriptor> open(const std::filesystem::path& root, const std::filesystem::path& name, bool create);

// Removes everything inside the opened folder, subfolders included; links
// are removed, never followed.
void empty(const Descriptor& folder);

// The names of the regular files (not links) in the opened folder, sorted.
std::vector<std::string> regularFiles(const Descriptor& folder);

}  // namespace vantle::agent::ScratchFolder
