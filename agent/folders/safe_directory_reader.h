// Lists one folder and counts its frames.
//
// A reading is one readdir pass over the folder's immediate entries: the
// entry type comes from d_type (fstatat without following links only when
// the file system leaves it unknown), no file is opened and nothing is
// written. Names are grouped into captures by stem (FrameCountRule), so
// IMG_0001.CR3 and IMG_0001.JPG are one capture, named after its RAW file.
//
// `read` never throws: a folder that is missing, not a folder or unreadable
// gives a Listing with `readFailed` set, so callers can tell it from an empty
// folder.
//
// A reader keeps its working buffers from one reading to the next, since the
// same large folder is listed every few seconds. So `read` changes the
// reader: never call it on one reader from two threads at once; give each
// queue its own reader. Copies share nothing; a copy starts with empty
// buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/folders/frame_names.h"
#include "core/frame_count_rule.h"

namespace vantle::agent {

class SafeDirectoryReader {
 public:
  // The result of one reading. Equal when every field is equal; the frame
  // watcher relies on that to report only changes.
  struct Listing {
    std::optional<std::string> path;  // canonical path of the folder; set by every reading
    int64_t frameCount = 0;           // captures that count as frames under the mode
    int64_t orphanCount = 0;          // rawOnly: captures without a RAW file; anyImage: 0
    // rawOnly: distinct lower-case extensions of the orphans' files, ascending.
    std::vector<std::string> orphanExtensions;
    // The greatest frame name in plain byte order (IMG_9.CR3 after IMG_10.CR3).
    std::optional<std::string> lastFileName;
    FrameNames names;  // the capture names of all frames
    bool isLocalVolume = true;
    bool readFailed = false;

    bool operator==(const Listing&) const = default;
  };

  // Whether a path lies on a local volume; see volume_locality.h.
  using LocalityProbe = std::function<bool(const std::string& path)>;

  // Asks statfs about locality.
  SafeDirectoryReader();
  // Asks `probe` instead (tests use it to make a folder look remote). An
  // empty probe counts every folder as local.
  explicit SafeDirectoryReader(LocalityProbe probe);
  SafeDirectoryReader(const SafeDirectoryReader& other);
  SafeDirectoryReader& operator=(const SafeDirectoryReader& other);
  SafeDirectoryReader(SafeDirectoryReader&&) noexcept;
  SafeDirectoryReader& operator=(SafeDirectoryReader&&) noexcept;
  ~SafeDirectoryReader();

  // Lists `folder` and counts its frames under `mode`. Not const: it reuses
  // and may grow the reader's buffers.
  Listing read(const std::string& folder, core::FrameCountRule::CountingMode mode);

  // Whether the folder lies on a local volume, by the reader's probe.
  bool isLocal(const std::string& folder) const;

  // The same pass over the folder's entries as read() makes, handing the name
  // of each regular file to `onFile` in listing order, without grouping or
  // counting. False when the folder cannot be listed, or its listing breaks
  // off part way (some files may have been handed over by then).
  static bool listRegularFiles(const std::string& folder, const std::function<void(std::string_view name)>& onFile);
  // Whether `name` in `folder` is a regular file now (a symbolic link is not
  // followed, and is not one).
  static bool isRegularFile(const std::string& folder, const std::string& name);

 private:
  struct Workspace;

  LocalityProbe isLocal_;
  std::unique_ptr<Workspace> workspace_;  // made at the first reading
};

}  // namespace vantle::agent
