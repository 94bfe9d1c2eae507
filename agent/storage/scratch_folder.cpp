#include "agent/storage/scratch_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "agent/storage/storage_root.h"

namespace vantle::agent::ScratchFolder {
namespace {

namespace fs = std::filesystem;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Calls visit(name, stat) for every entry but "." and "..", links not followed.
template <typename Visit>
void forEachEntry(int folder, Visit&& visit) {
  const int copy = ::dup(folder);
  if (copy < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(copy), ::closedir);
  if (!dir) {
    ::close(copy);
    return;
  }
  ::rewinddir(dir.get());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  for (const std::string& name : names) {
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) visit(name, info);
  }
}

void emptyFolder(int folder, int depth) {
  forEachEntry(folder, [&](const std::string& name, const struct stat& info) {
    if (S_ISDIR(info.st_mode) && depth < 32) {
      const Descriptor child(::openat(folder, name.c_str(), kFolderFlags));
      if (child.valid()) emptyFolder(child.get(), depth + 1);
      ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(folder, name.c_str(), 0);
    }
  });
}

}  // namespace

std::optional<Descriptor> open(const fs::path& root, const fs::path& name, bool create) {
  const fs::path relative = name.lexically_normal();
  if (relative.empty() || relative.is_absolute() || relative == ".") return std::nullopt;
  for (const auto& part : relative) {
    if (part == ".." || part == ".") return std::nullopt;
  }
  // The root itself may be reached through links the user set up; below it, nothing may be one.
  Descriptor folder(::open(StorageRoot::canonicalStoragePath(root).c_str(), kFolderFlags));
  if (!folder.valid()) return std::nullopt;
  for (const auto& part : relative) {
    if (part.empty()) continue;
    if (create && ::mkdirat(folder.get(), part.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    Descriptor next(::openat(folder.get(), part.c_str(), kFolderFlags));
    if (!next.valid()) return std::nullopt;  // a link (ELOOP), a file (ENOTDIR) or missing
    folder = std::move(next);
  }
  return folder;
}

void empty(const Descriptor& folder) {
  if (folder.valid()) emptyFolder(folder.get(), 0);
}

std::vector<std::string> regularFiles(const Descriptor& folder) {
  std::vector<std::string> files;
  if (!folder.valid()) return files;
  forEachEntry(folder.get(), [&](const std::string& name, const struct stat& info) {
    if (S_ISREG(info.st_mode)) files.push_back(name);
  });
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace vantle::agent::ScratchFolder
