#include "agent/folders/safe_directory_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <string_view>
#include <cstdint>
#include <functional>
#include <vector>

#include "agent/folders/capture_path.h"
#include "agent/folders/volume_locality.h"
#include "core/unicode.h"

namespace vantle::agent {
namespace FrameCountRule = core::FrameCountRule;

namespace {

// The files of one stem, living only during a reading.
struct Capture {
  std::string stem;  // lower case
  std::string name;  // the file that names the capture, in its listed case
  bool hasRaw = false;
};

// A non-RAW file: its capture and its lower-case extension.
struct OtherFile {
  uint32_t capture;
  std::string extension;
};

// Captures by stem in one flat open-addressing table: a folder of ten
// thousand captures is looked up in random order, and chasing the nodes of a
// node-based map cost more than listing the folder.
class StemTable {
 public:
  static uint64_t hashOf(std::string_view stem) { return core::ShortHash::of(stem); }

  // `expectedFiles`: a capture usually has a RAW file and a sidecar or two.
  explicit StemTable(size_t expectedFiles) {
    size_t size = 16;
    while (size < expectedFiles) size *= 2;
    slots_.assign(size, Slot{});
    captures_.reserve(expectedFiles / 2);
  }

  // The capture of `stem`, made when new.
  Capture& operator[](std::string_view stem) {
    if (2 * (captures_.size() + 1) > slots_.size()) grow();
    const uint64_t hash = hashOf(stem);
    const auto tag = static_cast<uint32_t>(hash >> 32);
    for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.index == empty) {
        slot = {tag, static_cast<uint32_t>(captures_.size())};
        captures_.push_back({std::string(stem), {}, false});
        return captures_.back();
      }
      if (slot.tag == tag && captures_[slot.index].stem == stem) return captures_[slot.index];
    }
  }

  uint32_t indexOf(const Capture& capture) const { return static_cast<uint32_t>(&capture - captures_.data()); }
  std::vector<Capture>& captures() { return captures_; }

 private:
  static constexpr uint32_t empty = UINT32_MAX;
  // Eight bytes, so that the table of a large folder stays in the cache.
  struct Slot {
    uint32_t tag = 0;  // the high half of the stem's hash
    uint32_t index = empty;
  };

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    for (const Slot& slot : old) {
      if (slot.index == empty) continue;
      size_t i = hashOf(captures_[slot.index].stem) & (slots_.size() - 1);
      while (slots_[i].index != empty) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::vector<Capture> captures_;
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
  StemTable captures(expected);
  std::vector<OtherFile> others;
  std::string scratch;  // each name lower-cased, without an allocation per entry
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
    const auto candidate = FrameCountRule::candidate(name, scratch);  // drops "." and ".."
    if (!candidate || !isRegularFile(dirfd(dir.get()), *entry)) continue;

    Capture& capture = captures[candidate->stem];
    if (candidate->isRaw) {
      if (!capture.hasRaw) capture.name = name;  // named after its first RAW file
      capture.hasRaw = true;
    } else {
      others.push_back({captures.indexOf(capture), std::string(candidate->extension)});
      if (capture.name.empty()) capture.name = name;
    }
  }

  const bool rawOnly = mode == FrameCountRule::CountingMode::rawOnly;
  listing.names.reserve(captures.captures().size());
  for (Capture& capture : captures.captures()) {
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
      if (!captures.captures()[file.capture].hasRaw) orphanExtensions.insert(std::move(file.extension));
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
