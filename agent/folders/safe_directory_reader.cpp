#include "agent/folders/safe_directory_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "agent/folders/capture_path.h"
#include "agent/folders/volume_locality.h"
#include "core/unicode.h"

namespace vantle::agent {
namespace FrameCountRule = core::FrameCountRule;

namespace {

// The files of one stem, living only during a reading.
struct Capture {
  std::string name;  // the file that names the capture, in its listed case
  bool hasRaw = false;
};

// A non-RAW file: its capture and its lower-case extension.
struct OtherFile {
  const Capture* capture;
  std::string extension;
};

// Whether the entry is a regular file, without following a symbolic link.
bool isRegularFile(int folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
  struct stat info {};
  if (fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(info.st_mode);
}

// About how many entries a folder holds, from the size of the folder
// itself, so that the containers of a reading grow at most once or twice.
size_t expectedEntries(int folder) {
  struct stat info {};
  if (fstat(folder, &info) != 0 || info.st_size <= 0) return 64;
  return std::min<size_t>(static_cast<size_t>(info.st_size) / 32, size_t{1} << 20);
}

}  // namespace

SafeDirectoryReader::SafeDirectoryReader() : isLocal_(isLocalVolume) {}

SafeDirectoryReader::SafeDirectoryReader(LocalityProbe probe) : isLocal_(std::move(probe)) {}

SafeDirectoryReader::Listing SafeDirectoryReader::read(const std::string& folder,
                                                       FrameCountRule::CountingMode mode) const try {
  Listing listing;
  listing.path = CapturePath::canonical(folder);
  listing.isLocalVolume = isLocal_ ? isLocal_(folder) : true;

  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) {
    listing.readFailed = true;
    return listing;
  }
  // Captures by stem. One pass, no container per capture, and room made up
  // front: folders hold tens of thousands of files and are listed every few
  // seconds.
  const size_t expected = expectedEntries(dirfd(dir.get()));
  std::unordered_map<std::string, Capture> captures(expected);
  std::vector<OtherFile> others;
  others.reserve(expected);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (!entry) {
      // A listing that breaks off part way (a volume going away) would give
      // a count too low: it fails as a whole.
      if (errno != 0) {
        listing.readFailed = true;
        return listing;
      }
      break;
    }
    const std::string_view name = entry->d_name;
    if (!FrameCountRule::countsAs(name)) continue;  // also drops "." and ".."
    if (!isRegularFile(dirfd(dir.get()), *entry)) continue;

    Capture& capture = captures[FrameCountRule::captureStem(name)];
    if (FrameCountRule::isRaw(name)) {
      if (!capture.hasRaw) capture.name = name;  // named after its first RAW file
      capture.hasRaw = true;
    } else {
      others.push_back({&capture, core::lowercased(FrameCountRule::extension(name))});
      if (capture.name.empty()) capture.name = name;
    }
  }

  const bool rawOnly = mode == FrameCountRule::CountingMode::rawOnly;
  listing.names.reserve(captures.size());
  for (auto& [stem, capture] : captures) {
    if (rawOnly && !capture.hasRaw) {
      ++listing.orphanCount;
      continue;
    }
    if (!listing.lastFileName || capture.name > *listing.lastFileName) listing.lastFileName = capture.name;
    listing.names.insert(std::move(capture.name));
  }
  listing.frameCount = static_cast<int64_t>(listing.names.size());
  if (rawOnly) {
    std::set<std::string> orphanExtensions;
    for (OtherFile& file : others) {
      if (!file.capture->hasRaw) orphanExtensions.insert(std::move(file.extension));
    }
    listing.orphanExtensions.assign(orphanExtensions.begin(), orphanExtensions.end());
  }
  return listing;
} catch (...) {  // out of memory: no reading, rather than an exception
  Listing failed;
  failed.readFailed = true;
  return failed;
}

}  // namespace vantle::agent
