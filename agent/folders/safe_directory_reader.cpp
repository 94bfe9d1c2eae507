#include "agent/folders/safe_directory_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/capture_path.h"
#include "agent/folders/volume_locality.h"
#include "core/short_hash.h"

namespace vantle::agent {
namespace FrameCountRule = core::FrameCountRule;

namespace {

// Whether two spans of `length` bytes are equal. Stems are short: comparing
// them here, a word at a time, beats a call into the library.
bool sameBytes(const char* a, const char* b, size_t length) {
  for (; length >= 8; a += 8, b += 8, length -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; length > 0; ++a, ++b, --length) {
    if (*a != *b) return false;
  }
  return true;
}

// The candidate files of a reading, gathered in the readdir loop and grouped
// after it. Grouping is kept out of that loop on purpose: between the
// kernel's batches of entries the tables of a large folder fell out of the
// cache, and the lookups cost more than the listing itself.
class Candidates {
 public:
  // A candidate file: its listed name followed by its lower-case form.
  struct File {
    uint64_t stemHash;
    uint32_t offset;
    uint16_t nameLength;
    uint16_t lowerLength;
    uint16_t stemLength;  // of the lower-case form
    bool isRaw;
  };

  void clear() {
    files_.clear();
    characters_.clear();
  }

  void add(std::string_view name, const FrameCountRule::CandidateView& candidate, std::string_view lower) {
    // File names are at most 255 bytes and their lower-case form a few
    // times that, so these limits only stop a listing no folder can give.
    if (name.size() > UINT16_MAX || lower.size() > UINT16_MAX ||
        characters_.size() + name.size() + lower.size() > UINT32_MAX) {
      throw std::length_error("folder listing too large");
    }
    files_.push_back({core::ShortHash::of(candidate.stem), static_cast<uint32_t>(characters_.size()), static_cast<uint16_t>(name.size()),
                      static_cast<uint16_t>(lower.size()), static_cast<uint16_t>(candidate.stem.size()),
                      candidate.isRaw});
    characters_.append(name);
    characters_.append(lower);
  }

  const std::vector<File>& files() const { return files_; }
  size_t capacityBytes() const { return files_.capacity() * sizeof(File) + characters_.capacity(); }

  std::string_view name(const File& file) const {
    return std::string_view(characters_).substr(file.offset, file.nameLength);
  }
  // Where the file's lower-case stem lies in characters().
  std::pair<uint32_t, uint16_t> stemOf(const File& file) const {
    return {file.offset + file.nameLength, file.stemLength};
  }
  const char* characters() const { return characters_.data(); }
  std::string_view extension(const File& file) const {
    return std::string_view(characters_)
        .substr(file.offset + file.nameLength + file.stemLength + 1, file.lowerLength - file.stemLength - 1);
  }

 private:
  std::vector<File> files_;
  std::string characters_;
};

// The files of one stem.
struct Capture {
  uint32_t stemOffset;  // of the stem in the candidates' characters, as first listed
  uint16_t stemLength;
  bool hasRaw;
  uint32_t nameFile;  // the file that names the capture
};

// Captures by stem in one flat open-addressing table with eight-byte slots:
// a folder of ten thousand captures is looked up in random order, and
// chasing the nodes of a node-based map cost more than listing the folder.
class StemTable {
 public:
  // Empties the table and sizes it for `files` files of distinct stems, so
  // that it is never more than half full.
  void reset(size_t files) {
    size_t size = 16;
    while (size < 2 * files) size *= 2;
    slots_.assign(size, Slot{});
    captures_.clear();
  }

  // Starts loading the slot where a stem of this hash is looked up first.
  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

  // The index of the capture of the file's stem, made when new.
  uint32_t captureOf(const Candidates& candidates, uint32_t file) {
    const auto [offset, length] = candidates.stemOf(candidates.files()[file]);
    const char* characters = candidates.characters();
    const uint64_t hash = candidates.files()[file].stemHash;
    const auto tag = static_cast<uint32_t>(hash >> 32);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.capture == kEmpty) {
        slot = {tag, static_cast<uint32_t>(captures_.size())};
        captures_.push_back({offset, length, false, file});
        return slot.capture;
      }
      if (slot.tag != tag) continue;
      const Capture& capture = captures_[slot.capture];
      if (capture.stemLength == length && sameBytes(characters + capture.stemOffset, characters + offset, length)) {
        return slot.capture;
      }
    }
  }

  std::vector<Capture>& captures() { return captures_; }
  size_t capacityBytes() const { return slots_.capacity() * sizeof(Slot) + captures_.capacity() * sizeof(Capture); }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint32_t tag = 0;  // the high half of the stem's hash
    uint32_t capture = kEmpty;
  };

  std::vector<Slot> slots_;
  std::vector<Capture> captures_;
};

// Whether the entry is a regular file, without following a symbolic link.
bool isRegularEntry(int folder, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
  struct stat info {};
  if (fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(info.st_mode);
}

// Buffers grown past this for an unusually large folder are given back after
// the reading rather than held for the next one.
constexpr size_t kKeptWorkspaceBytes = size_t{16} << 20;

}  // namespace

// The buffers of one reading, kept for the next: a large folder is listed
// every few seconds, and fresh buffers of that size were mapped and faulted
// in anew each time, which cost more than the listing.
struct SafeDirectoryReader::Workspace {
  Candidates candidates;
  StemTable stems;
  std::vector<uint32_t> captureOfFile;

  size_t capacityBytes() const {
    return candidates.capacityBytes() + stems.capacityBytes() + captureOfFile.capacity() * sizeof(uint32_t);
  }
};

SafeDirectoryReader::SafeDirectoryReader() : SafeDirectoryReader(isLocalVolume) {}

SafeDirectoryReader::SafeDirectoryReader(LocalityProbe probe) : isLocal_(std::move(probe)) {}

SafeDirectoryReader::SafeDirectoryReader(const SafeDirectoryReader& other) : isLocal_(other.isLocal_) {}

SafeDirectoryReader& SafeDirectoryReader::operator=(const SafeDirectoryReader& other) {
  isLocal_ = other.isLocal_;
  return *this;
}

SafeDirectoryReader::SafeDirectoryReader(SafeDirectoryReader&&) noexcept = default;
SafeDirectoryReader& SafeDirectoryReader::operator=(SafeDirectoryReader&&) noexcept = default;
SafeDirectoryReader::~SafeDirectoryReader() = default;

bool SafeDirectoryReader::isLocal(const std::string& folder) const { return isLocal_ ? isLocal_(folder) : true; }

bool SafeDirectoryReader::listRegularFiles(const std::string& folder,
                                           const std::function<void(std::string_view name)>& onFile) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (!entry) return errno == 0;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (isRegularEntry(dirfd(dir.get()), *entry)) onFile(name);
  }
}

bool SafeDirectoryReader::isRegularFile(const std::string& folder, const std::string& name) {
  struct stat info {};
  const std::string path = folder + "/" + name;
  return fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

SafeDirectoryReader::Listing SafeDirectoryReader::read(const std::string& folder,
                                                       FrameCountRule::CountingMode mode) try {
  Listing listing;
  listing.path = CapturePath::canonical(folder);
  listing.isLocalVolume = isLocal(folder);

  if (!workspace_) workspace_ = std::make_unique<Workspace>();
  Workspace& work = *workspace_;
  // However the reading ends, buffers grown for a huge folder are not kept.
  struct Trim {
    std::unique_ptr<Workspace>& workspace;
    ~Trim() {
      if (workspace && workspace->capacityBytes() > kKeptWorkspaceBytes) workspace.reset();
    }
  } trim{workspace_};

  Candidates& candidates = work.candidates;
  candidates.clear();
  std::string scratch;  // each name lower-cased, without an allocation per entry
  const bool listed = listRegularFiles(folder, [&](std::string_view name) {
    if (const auto candidate = FrameCountRule::candidate(name, scratch)) candidates.add(name, *candidate, scratch);
  });
  if (!listed) {
    // A listing that breaks off part way (a volume going away) would give a
    // count too low: it fails as a whole.
    listing.readFailed = true;
    return listing;
  }

  // A capture is named after its first RAW file, else after its first file,
  // in listing order.
  const auto& files = candidates.files();
  StemTable& stems = work.stems;
  stems.reset(files.size());
  work.captureOfFile.resize(files.size());
  constexpr uint32_t kAhead = 8;  // slots asked for this many files early: their misses overlap
  for (uint32_t i = 0; i < files.size(); ++i) {
    if (i + kAhead < files.size()) stems.prefetch(files[i + kAhead].stemHash);
    const uint32_t index = stems.captureOf(candidates, i);
    work.captureOfFile[i] = index;
    Capture& capture = stems.captures()[index];
    if (files[i].isRaw && !capture.hasRaw) {
      capture.nameFile = i;
      capture.hasRaw = true;
    }
  }

  const bool rawOnly = mode == FrameCountRule::CountingMode::rawOnly;
  size_t nameBytes = 0;
  for (const Capture& capture : stems.captures()) nameBytes += files[capture.nameFile].nameLength;
  listing.names.reserve(stems.captures().size(), nameBytes);
  std::string_view lastFileName;
  for (const Capture& capture : stems.captures()) {
    if (rawOnly && !capture.hasRaw) {
      ++listing.orphanCount;
      continue;
    }
    const std::string_view name = candidates.name(files[capture.nameFile]);
    if (name > lastFileName) lastFileName = name;
    listing.names.insert(name);
  }
  listing.frameCount = static_cast<int64_t>(listing.names.size());
  if (!listing.names.empty()) listing.lastFileName = std::string(lastFileName);
  if (rawOnly && listing.orphanCount > 0) {
    std::set<std::string, std::less<>> orphanExtensions;
    for (uint32_t i = 0; i < files.size(); ++i) {
      if (stems.captures()[work.captureOfFile[i]].hasRaw) continue;
      const std::string_view extension = candidates.extension(files[i]);
      if (!orphanExtensions.contains(extension)) orphanExtensions.emplace(extension);
    }
    listing.orphanExtensions.assign(orphanExtensions.begin(), orphanExtensions.end());
  }
  return listing;
} catch (...) {  // out of memory: no reading, rather than an exception
  workspace_.reset();
  Listing failed;
  failed.readFailed = true;
  return failed;
}

}  // namespace vantle::agent
