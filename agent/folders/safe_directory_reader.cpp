#include "agent/folders/safe_directory_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "agent/folders/capture_path.h"
#include "agent/folders/volume_locality.h"
#include "core/unicode.h"

namespace vantle::agent {
namespace FrameCountRule = core::FrameCountRule;

namespace {

// One capture: the files of one stem, living only during a reading.
struct Capture {
  bool hasRaw = false;
  std::string name;  // the file that names the capture, in its listed case
  std::set<std::string> otherExtensions;  // lower-case extensions of the non-RAW files
};

// Whether the entry is a regular file, without following a symbolic link.
bool isRegularFile(int folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
  struct stat info {};
  if (fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(info.st_mode);
}

void add(std::unordered_map<std::string, Capture>& captures, std::string_view name) {
  Capture& capture = captures[FrameCountRule::captureStem(name)];
  if (FrameCountRule::isRaw(name)) {
    // The capture is named after its first RAW file.
    if (!capture.hasRaw) capture.name = name;
    capture.hasRaw = true;
  } else {
    capture.otherExtensions.insert(core::lowercased(FrameCountRule::extension(name)));
    if (capture.name.empty()) capture.name = name;
  }
}

}  // namespace

SafeDirectoryReader::SafeDirectoryReader() : isLocal_(isLocalVolume) {}

SafeDirectoryReader::SafeDirectoryReader(LocalityProbe probe) : isLocal_(std::move(probe)) {}

SafeDirectoryReader::Listing SafeDirectoryReader::read(const std::string& folder,
                                                       FrameCountRule::CountingMode mode) const {
  Listing listing;
  listing.path = CapturePath::canonical(folder);
  listing.isLocalVolume = isLocal_ ? isLocal_(folder) : true;

  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) {
    listing.readFailed = true;
    return listing;
  }
  std::unordered_map<std::string, Capture> captures;
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
    add(captures, name);
  }

  const bool rawOnly = mode == FrameCountRule::CountingMode::rawOnly;
  std::set<std::string> orphanExtensions;
  for (auto& [stem, capture] : captures) {
    if (!rawOnly || capture.hasRaw) {
      listing.names.insert(std::move(capture.name));
    } else {
      ++listing.orphanCount;
      orphanExtensions.merge(capture.otherExtensions);
    }
  }
  listing.frameCount = static_cast<int64_t>(listing.names.size());
  if (!listing.names.empty()) listing.lastFileName = *listing.names.rbegin();
  listing.orphanExtensions.assign(orphanExtensions.begin(), orphanExtensions.end());
  return listing;
}

}  // namespace vantle::agent
