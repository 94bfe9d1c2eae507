// The one spelling of a folder path that every part of the agent uses.
//
// Pure functions; any thread. They read the file system only to resolve
// symbolic links, never throw, and never create anything.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vantle::agent::CapturePath {

// The canonical form of `path`: symbolic links of the part that exists are
// resolved, then "." and ".." components and any trailing "/" are removed. A
// relative path is taken from the current directory. An empty path stays
// empty. When nothing can be resolved the path is only standardized.
// Takes path texts and folder locations alike.
std::string canonical(const std::filesystem::path& path);

// The folder's key in tables of folders: its canonical form, composed
// Unicode, so that every spelling of one folder finds the same entry.
std::string key(const std::filesystem::path& path);

// Both absent; or both present with canonical forms that are the same text
// up to Unicode canonical equivalence (composed and decomposed accents).
bool same(const std::optional<std::string>& a, const std::optional<std::string>& b);

}  // namespace vantle::agent::CapturePath
