// Where the storage lives, and whether a path lies inside it.
//
// Pure functions of their arguments and the file system; thread-safe.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vantle::agent::StorageRoot {

// Reads one environment variable; nullopt when it is not set.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;

// The environment of this process.
Environment processEnvironment();

// The storage root, always absolute: `VANTLE_STORAGE_ROOT` when it is set and
// not empty (as it stands, no trimming or expansion, but a relative path is
// taken from the current folder); else "OrvaneVantle" in the user's
// data folder (`XDG_DATA_HOME` when it holds an absolute path, else
// `HOME`/.local/share); else in the temporary folder when there is no home.
std::filesystem::path resolve(const Environment& environment);

// `path` with its symbolic links resolved as far as it exists and then
// standardized: absolute, no "." or ".." components, no trailing separator.
std::string canonicalStoragePath(const std::filesystem::path& path);

// Whether `path` is `root` itself or lies beneath it, both compared in
// canonical form. A sibling whose name merely begins with the root's name
// ("/data/OrvaneVantle2") is not inside "/data/OrvaneVantle".
bool contains(const std::filesystem::path& root, const std::filesystem::path& path);

}  // namespace vantle::agent::StorageRoot
