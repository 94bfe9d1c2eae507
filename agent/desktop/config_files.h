// Where the user's configuration lives, and how a small file there is read
// and replaced.
//
// The configuration folder is $XDG_CONFIG_HOME when it is an absolute path,
// else ~/.config of $HOME (or of the password database). Replacing a file
// is atomic: readers see the old contents or the new, never a mix, and a
// crash leaves one of the two. Thread-safe; nothing here throws.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "agent/desktop/failure.h"

namespace vantle::agent {

// The user's configuration folder, or nullopt when no home can be found.
std::optional<std::filesystem::path> configHome();

// The contents of `file`, or nullopt when it is missing, unreadable, not a
// regular file, or larger than `limit` bytes.
std::optional<std::string> readSmallFile(const std::filesystem::path& file, size_t limit = 1 << 20);

// Writes `contents` to a temporary file beside `file`, syncs it and renames
// it over `file`, creating missing parent folders first.
std::optional<Failure> replaceFile(const std::filesystem::path& file, std::string_view contents);

}  // namespace vantle::agent
