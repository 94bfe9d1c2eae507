#include "core/frame_count_rule.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <stdexcept>
#include <unordered_map>

#include "core/unicode.h"

namespace vantle::core::FrameCountRule {

const NameSet& rawExtensions() {
  static const NameSet set{"iiq", "cap", "mos", "3fr", "fff", "eip", "cr2", "cr3", "craw", "crw",
                           "nef", "nrw", "arw", "arq", "sr2", "srf", "raf", "orf", "ori", "rw2",
                           "raw", "rwl", "pef", "ptx", "x3f", "srw", "dng", "gpr", "arri", "ari",
                           "bay", "dcr", "dcs", "erf", "kdc", "mef", "mrw", "pxn"};
  return set;
}

const NameSet& excludedExtensions() {
  static const NameSet set{"cos",       "cof",         "cop",        "cot",        "coshadow",
                           "cofilelock", "codirlock",  "comask",     "plj",        "plist",
                           "aae",        "dam_ingested", "db",       "sqlite",     "sqlite-wal",
                           "sqlite-shm", "wal",        "shm",        "ds_store",   "localized",
                           "ini",        "tmp",        "temp",       "part",       "download",
                           "crdownload", "lock"};
  return set;
}

const std::vector<std::string_view>& documentPackageSuffixes() {
  static const std::vector<std::string_view> suffixes{".cosessiondb", ".cocatalogdb"};
  return suffixes;
}

const NameSet& excludedDirectoryNames() {
  static const NameSet set{"captureone", "proxies", "cache", "caches", "thumbnails", "previews"};
  return set;
}

namespace {

enum class ExtensionKind : uint8_t { raw, excluded };

// Every extension the rule knows, RAW or excluded, in one flat table of
// fixed size. It is consulted for every entry of every folder reading, so a
// lookup is a few integer operations: an extension is packed into two words
// (file names hold no NUL byte, so zero padding cannot collide with a name),
// hashed by a multiply and compared as integers.
class ExtensionTable {
 public:
  ExtensionTable() {
    for (std::string_view e : rawExtensions()) add(e, ExtensionKind::raw);
    for (std::string_view e : excludedExtensions()) add(e, ExtensionKind::excluded);
  }

  // The kind of a lower-case extension, or nullopt when the rule does not know it.
  std::optional<ExtensionKind> find(std::string_view extension) const {
    const std::optional<Packed> key = pack(extension);
    if (!key) return std::nullopt;
    for (size_t i = key->slot();; i = (i + 1) % kSize) {
      if (slots_[i].key == *key) return slots_[i].kind;
      if (slots_[i].key == Packed{}) return std::nullopt;
    }
  }

 private:
  // Four times the 65 known extensions, so probes stay short.
  static constexpr unsigned kBits = 8;
  static constexpr size_t kSize = size_t{1} << kBits;

  struct Packed {
    uint64_t low = 0;   // bytes 0 to 7
    uint64_t high = 0;  // bytes 8 to 15
    size_t slot() const { return ((low ^ high * 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull) >> (64 - kBits); }
    bool operator==(const Packed&) const = default;
  };
  // Longer extensions are none the rule knows.
  static std::optional<Packed> pack(std::string_view extension) {
    if (extension.empty() || extension.size() > 16) return std::nullopt;
    Packed key;
    for (size_t i = 0; i < extension.size(); ++i) {
      (i < 8 ? key.low : key.high) |= uint64_t{static_cast<unsigned char>(extension[i])} << (8 * (i % 8));
    }
    return key;
  }

  void add(std::string_view extension, ExtensionKind kind) {
    const std::optional<Packed> packed = pack(extension);
    if (!packed) throw std::logic_error("known extensions are 1 to 16 bytes");
    const Packed key = *packed;
    size_t i = key.slot();
    while (slots_[i].key != Packed{}) i = (i + 1) % kSize;
    slots_[i] = {key, kind};
  }

  struct Slot {
    Packed key;  // zero when free
    ExtensionKind kind = ExtensionKind::raw;
  };
  std::array<Slot, kSize> slots_{};
};

const ExtensionTable& extensionKinds() {
  static const ExtensionTable table;
  return table;
}

// Whether a lower-cased name contains a document package's suffix. Scanned
// by hand, only where a suffix fits: this runs for every entry of every
// folder reading, and names are too short for a library search to pay off.
bool namesDocumentPackage(std::string_view lower) {
  for (std::string_view suffix : documentPackageSuffixes()) {
    for (size_t i = 0; i + suffix.size() <= lower.size(); ++i) {
      if (lower[i] == '.' && lower.substr(i, suffix.size()) == suffix) return true;
    }
  }
  return false;
}

// The sidecars Linux raw developers write beside each picture, named after
// the whole file name: darktable's IMG_0001.CR3.xmp, RawTherapee's .pp3,
// DxO's .dop. They belong to IMG_0001's capture and never make one.
const NameSet& sidecarExtensions() {
  static const NameSet set{"xmp", "pp3", "dop"};
  return set;
}

// Extensions of the pictures those sidecars go with, besides the RAW ones.
const NameSet& imageExtensions() {
  static const NameSet set{"jpg", "jpeg", "jpe", "tif", "tiff", "png", "heic", "heif", "hif",
                           "webp", "avif", "jxl", "psd", "psb", "jp2", "bmp", "gif"};
  return set;
}

bool isSidecarOfAnImage(std::string_view lower, std::string_view ext) {
  if (!sidecarExtensions().contains(ext)) return false;
  const std::string_view inner = extension(lower.substr(0, lower.size() - ext.size() - 1));
  if (inner.empty()) return false;
  return extensionKinds().find(inner) == ExtensionKind::raw || imageExtensions().contains(inner);
}

}  // namespace

std::string_view extension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::optional<CandidateView> candidate(std::string_view fileName, std::string& scratch) {
  if (fileName.empty() || fileName.front() == '.') return std::nullopt;
  lowercased(fileName, scratch);
  const std::string_view lower = scratch;
  if (namesDocumentPackage(lower)) return std::nullopt;
  const std::string_view ext = extension(lower);
  if (ext.empty()) return std::nullopt;
  const std::optional<ExtensionKind> kind = extensionKinds().find(ext);
  if (kind == ExtensionKind::excluded) return std::nullopt;
  if (isSidecarOfAnImage(lower, ext)) return std::nullopt;
  const bool raw = kind == ExtensionKind::raw;
  return CandidateView{lower.substr(0, lower.size() - ext.size() - 1), ext, raw};
}

std::optional<Candidate> candidate(std::string_view fileName) {
  std::string scratch;
  const auto view = candidate(fileName, scratch);
  if (!view) return std::nullopt;
  return Candidate{std::string(view->stem), std::string(view->extension), view->isRaw};
}

bool countsAs(std::string_view fileName) { return candidate(fileName).has_value(); }

bool isRaw(std::string_view fileName) {
  const std::string ext = lowercased(extension(fileName));
  return !ext.empty() && rawExtensions().contains(ext);
}

std::string captureStem(std::string_view fileName) {
  const size_t dot = fileName.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && dot != 0;
  return lowercased(hasExtension ? fileName.substr(0, dot) : fileName);
}

bool isExcludedDirectory(std::string_view name) {
  if (!name.empty() && name.front() == '.') return true;
  const std::string lower = lowercased(name);
  if (excludedDirectoryNames().contains(lower)) return true;
  constexpr std::string_view settings = "settings";
  return lower.starts_with(settings) && isAllNumbers(std::string_view(lower).substr(settings.size()));
}

std::vector<std::string> frames(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) {
    if (countsAs(name)) out.push_back(name);
  }
  return out;
}

FrameTally tally(const std::vector<std::string>& names, CountingMode mode) {
  std::unordered_set<std::string> rawStems;
  std::unordered_map<std::string, std::set<std::string>> otherExtensions;
  for (const std::string& name : names) {
    std::optional<Candidate> c = candidate(name);
    if (!c) continue;
    if (c->isRaw) {
      rawStems.insert(std::move(c->stem));
    } else {
      otherExtensions[std::move(c->stem)].insert(std::move(c->extension));
    }
  }

  FrameTally result;
  if (mode == CountingMode::anyImage) {
    int64_t distinct = static_cast<int64_t>(rawStems.size());
    for (const auto& [stem, exts] : otherExtensions) {
      if (!rawStems.contains(stem)) ++distinct;
    }
    result.captures = distinct;
    return result;
  }

  std::set<std::string> orphanExtensions;
  for (const auto& [stem, exts] : otherExtensions) {
    if (rawStems.contains(stem)) continue;
    ++result.orphanStems;
    orphanExtensions.insert(exts.begin(), exts.end());
  }
  result.captures = static_cast<int64_t>(rawStems.size());
  result.orphanExtensions.assign(orphanExtensions.begin(), orphanExtensions.end());
  return result;
}

int64_t count(const std::vector<std::string>& names, CountingMode mode) {
  return tally(names, mode).captures;
}

}  // namespace vantle::core::FrameCountRule
