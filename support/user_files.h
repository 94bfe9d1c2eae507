// Where the user's configuration and state live, and how a small file there
// is read and replaced.
//
// The configuration folder is $XDG_CONFIG_HOME when it is an absolute path,
// else ~/.config of $HOME (or of the password database); the state folder is
// $XDG_STATE_HOME, else ~/.local/state. Replacing a file is atomic: readers
// see the old contents or the new, never a mix, and a crash leaves one of the
// two. Thread-safe; nothing here throws.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace vantle::support {

// The user's configuration folder, or nullopt when no home can be found.
std::optional<std::filesystem::path> configHome();
// The user's state folder, or nullopt when no home can be found.
std::optional<std::filesystem::path> stateHome();

// The contents of `file`, or nullopt when it is missing, unreadable, not a
// regular file, or larger than `limit` bytes.
std::optional<std::string> readSmallFile(const std::filesystem::path& file, size_t limit = 1 << 20);

// Writes `contents` to a temporary file beside `file`, syncs it and renames
// it over `file` with permissions `mode`, creating missing parent folders
// first. Returns nullopt on success, else a sentence saying what failed.
std::optional<std::string> replaceFile(const std::filesystem::path& file, std::string_view contents,
                                       mode_t mode = 0644);

}  // namespace vantle::support
