// The frames of one folder, kept current one entry at a time.
//
// Listing a folder of 20,000 frames for every file that lands in it made the
// cost of a frame grow with the folder. The frame watcher instead tells this
// value which entries changed, and it answers what a full listing would: the
// frame count, the orphans and their extensions, the greatest frame name. It
// groups candidate files into captures by stem (FrameCountRule) and names a
// capture after its first RAW file, else its first file, in the order the
// files were added: for a full listing that is the listing's own order, so
// the answers are SafeDirectoryReader's.
//
// A full listing is a pass: beginListing(), set(name, true) for every
// regular file, endListing(), which drops the files the pass did not see. Only the
// differences change anything, so a pass over an unchanged folder is a
// lookup per file.
//
// A plain value: it does no I/O (the caller says which regular files exist),
// holds no lock, and belongs to whoever holds it. Names that are not
// candidates are ignored.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "agent/folders/frame_names.h"
#include "core/frame_count_rule.h"

namespace vantle::agent {

class FolderContents {
 public:
  using CountingMode = core::FrameCountRule::CountingMode;

  // Records that `name` is a regular file of the folder (`present`) or is
  // not, or no longer. Returns the name of a frame (under `mode`) that this
  // made appear: a capture that became a frame, or a frame whose name
  // changed.
  std::optional<std::string> set(std::string_view name, bool present, CountingMode mode);

  // A full listing: after beginListing(), every file set present counts as
  // seen; endListing() then removes the files the pass did not see and
  // returns the greatest frame name that appeared in the removals.
  void beginListing() { ++pass_; }
  std::optional<std::string> endListing(CountingMode mode);

  void clear();

  int64_t frameCount(CountingMode mode) const;
  int64_t orphanCount(CountingMode mode) const;  // rawOnly: captures without a RAW file; anyImage: 0
  // rawOnly: the distinct lower-case extensions of the orphans' files, ascending.
  std::vector<std::string> orphanExtensions(CountingMode mode) const;
  // The greatest frame name in plain byte order.
  std::optional<std::string> lastFileName(CountingMode mode) const;
  // Every frame's name. Walks the whole folder: for the rare moments that
  // need all of them.
  FrameNames frameNames(CountingMode mode) const;

 private:
  struct File {
    std::string name;
    std::string extension;  // lower case
    bool isRaw = false;
    uint32_t pass = 0;  // the last full listing that saw it
  };
  struct Capture {
    std::vector<File> files;  // in the order they were added
    int raws = 0;
    const std::string& name() const;  // of a capture with files
  };
  struct StemHash {
    using is_transparent = void;
    size_t operator()(std::string_view stem) const { return std::hash<std::string_view>{}(stem); }
  };

  // What a capture contributes to the answers, taken out and put back
  // around each change to it.
  void withdraw(const Capture& capture);
  void admit(const Capture& capture);
  static std::optional<std::string> frameName(const Capture& capture, CountingMode mode);
  std::optional<std::string> add(std::string_view name, CountingMode mode);
  std::optional<std::string> remove(std::string_view name, CountingMode mode);

  std::unordered_map<std::string, Capture, StemHash, std::equal_to<>> captures_;  // by lower-case stem
  std::set<std::string, std::less<>> rawNamed_;    // names of the captures with a RAW file
  std::set<std::string, std::less<>> otherNamed_;  // names of the captures without one
  std::map<std::string, int64_t, std::less<>> orphanExtensionFiles_;  // extension → files of captures without RAW
  uint32_t pass_ = 0;
  std::string scratch_;  // reused by FrameCountRule::candidate
};

}  // namespace vantle::agent
