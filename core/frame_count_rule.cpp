#include "core/frame_count_rule.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "core/short_hash.h"
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

// Every extension the rule knows, RAW or excluded, for one lookup per name.
enum class ExtensionKind : uint8_t { raw, excluded };

const std::unordered_map<std::string_view, ExtensionKind, ShortHash>& extensionKinds() {
  static const auto table = [] {
    std::unordered_map<std::string_view, ExtensionKind, ShortHash> t;
    for (std::string_view e : rawExtensions()) t.emplace(e, ExtensionKind::raw);
    for (std::string_view e : excludedExtensions()) t.emplace(e, ExtensionKind::excluded);
    return t;
  }();
  return table;
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
  for (std::string_view suffix : documentPackageSuffixes()) {
    if (lower.find(suffix) != std::string_view::npos) return std::nullopt;
  }
  const std::string_view ext = extension(lower);
  if (ext.empty()) return std::nullopt;
  const auto& kinds = extensionKinds();
  const auto kind = kinds.find(ext);
  if (kind != kinds.end() && kind->second == ExtensionKind::excluded) return std::nullopt;
  const bool raw = kind != kinds.end() && kind->second == ExtensionKind::raw;
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
