#include "agent/engine/folder_count.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>

#include "agent/capture_path.h"
#include "core/saturating.h"

namespace vantle::agent::FolderCount {
namespace {

// Canonical composed forms of the segments' paths, each worked out once.
class CanonicalPaths {
 public:
  const std::string& of(const std::string& path) {
    auto found = known_.find(path);
    if (found == known_.end()) found = known_.emplace(path, CapturePath::key(path)).first;
    return found->second;
  }

 private:
  std::map<std::string, std::string> known_;
};

struct FolderSegment {
  const core::WireSegment* segment;
  bool exact;  // stored under the path exactly as asked, not only under its canonical form
};

std::optional<int64_t> shootFramesOf(const std::vector<FolderSegment>& mine, int64_t frameCount) {
  if (mine.empty()) return std::nullopt;
  const core::WireSegment* latest = mine.front().segment;
  for (const FolderSegment& s : mine) {
    if (!(s.segment->openedAt < latest->openedAt)) latest = s.segment;
  }
  if (!latest->shootID) return std::nullopt;

  // The shoot's first visit here, preferring segments stored under the
  // path exactly as asked.
  const core::WireSegment* first = nullptr;
  for (const bool exact : {true, false}) {
    for (const FolderSegment& s : mine) {
      if (s.exact != exact || s.segment->shootID != latest->shootID) continue;
      if (!first || s.segment->openedAt < first->openedAt) first = s.segment;
    }
    if (first) break;
  }
  return std::max<int64_t>(0, core::saturatingSub(frameCount, first->startFrameCount));
}

}  // namespace

std::vector<core::FolderReading> readings(const std::vector<std::string>& paths,
                                          const std::vector<core::WireSegment>& segments,
                                          SafeDirectoryReader& reader, core::FrameCountRule::CountingMode counting) {
  CanonicalPaths canonical;
  std::vector<core::FolderReading> out;
  out.reserve(paths.size());
  for (const std::string& path : paths) {
    core::FolderReading reading{.path = path};
    std::error_code error;
    if (path.empty() || !std::filesystem::is_directory(path, error)) {
      reading.exists = false;
      reading.readable = false;
      reading.frameCount = 0;
      out.push_back(std::move(reading));
      continue;
    }
    const SafeDirectoryReader::Listing listing = reader.read(path, counting);
    reading.readable = !listing.readFailed;
    reading.frameCount = listing.readFailed ? 0 : listing.frameCount;
    reading.orphanCount = listing.orphanCount;
    if (reading.readable) {
      const std::string& folder = canonical.of(path);
      std::vector<FolderSegment> mine;
      for (const core::WireSegment& segment : segments) {
        if (segment.path == path) {
          mine.push_back({&segment, true});
        } else if (canonical.of(segment.path) == folder) {
          mine.push_back({&segment, false});
        }
      }
      reading.shootFrames = shootFramesOf(mine, reading.frameCount);
    }
    out.push_back(std::move(reading));
  }
  return out;
}

}  // namespace vantle::agent::FolderCount
