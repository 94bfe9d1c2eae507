// Which files in a capture folder are frames, decided from file names alone.
//
// A namespace of pure functions over plain file names (the last component of a
// path, UTF-8). It holds no state, touches no file system and may be called
// from any thread. Every comparison against the constant sets is made on a
// lower-cased value, so matching is case-insensitive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/enum_text.h"

namespace vantle::core::FrameCountRule {

// How captures count: under rawOnly a capture is a frame only if one of its
// files is RAW (the others are orphans); under anyImage every capture counts.
enum class CountingMode { rawOnly, anyImage };

// "rawOnly" or "anyImage"; the same text is the mode's JSON form.
inline std::string_view rawValue(CountingMode mode);
// Exact, case-sensitive match of a raw value; nullopt for anything else.
inline std::optional<CountingMode> countingModeFromRaw(std::string_view raw);

// The result of counting a list of names.
struct FrameTally {
  int64_t captures = 0;     // captures that count as frames under the mode
  int64_t orphanStems = 0;  // rawOnly: captures with candidates but no RAW file
  // rawOnly: distinct lower-case extensions of the orphans' files, ascending.
  std::vector<std::string> orphanExtensions;

  bool operator==(const FrameTally&) const = default;
};

using NameSet = std::unordered_set<std::string_view>;

// The 38 RAW extensions.
const NameSet& rawExtensions();
// The 27 extensions of files that are never frames (sidecars, locks, databases).
const NameSet& excludedExtensions();
// ".cosessiondb" then ".cocatalogdb": the capture application's documents.
const std::vector<std::string_view>& documentPackageSuffixes();
// The 6 names of the capture application's housekeeping folders.
const NameSet& excludedDirectoryNames();

// The text after the last "." of `name`; empty when there is no ".", when the
// only "." is the first character, or when the name ends in ".".
std::string_view extension(std::string_view name);

// Whether the file may be a frame: not empty, not hidden, not named after a
// document package, with a non-empty extension that is not excluded, and no
// raw developer's sidecar of a picture (IMG_0001.CR3.xmp, .pp3 or .dop after
// a RAW or image extension), which belongs to that picture's capture.
bool countsAs(std::string_view fileName);

// Whether the lower-cased extension is a RAW extension. Does not apply the
// candidate test: callers apply countsAs first.
bool isRaw(std::string_view fileName);

// The name without its extension and last ".", lower-cased: IMG_0001.CR3 and
// img_0001.xmp share the stem img_0001.
std::string captureStem(std::string_view fileName);

// Whether a folder name marks a housekeeping folder: hidden, one of the
// excluded names, or "settings" followed by one or more number characters.
bool isExcludedDirectory(std::string_view name);

// A name that passes the candidate test, taken apart once: what countsAs,
// captureStem and isRaw would say of it, for callers that need all three.
struct Candidate {
  std::string stem;       // lower case
  std::string extension;  // lower case, without the dot
  bool isRaw = false;
};

// The parts of a candidate, or nullopt when the name is not one.
std::optional<Candidate> candidate(std::string_view fileName);

// The same parts as views into `scratch`, which the call reuses: no
// allocation for ASCII names once `scratch` has grown. The views last until
// the next call with the same scratch. For loops over whole folders.
struct CandidateView {
  std::string_view stem;
  std::string_view extension;
  bool isRaw = false;
};
std::optional<CandidateView> candidate(std::string_view fileName, std::string& scratch);

// The names that pass the candidate test, in input order and unchanged.
std::vector<std::string> frames(const std::vector<std::string>& names);

// Groups candidates into captures by stem and counts them under `mode`.
FrameTally tally(const std::vector<std::string>& names, CountingMode mode);

// The `captures` of tally(names, mode).
int64_t count(const std::vector<std::string>& names, CountingMode mode);

}  // namespace vantle::core::FrameCountRule

namespace vantle::core {

template <>
struct EnumText<FrameCountRule::CountingMode> {
  static constexpr std::array<std::string_view, 2> names{"rawOnly", "anyImage"};
};

inline std::string_view FrameCountRule::rawValue(CountingMode mode) { return caseName(mode); }

inline std::optional<FrameCountRule::CountingMode> FrameCountRule::countingModeFromRaw(std::string_view raw) {
  return caseNamed<CountingMode>(raw);
}

}  // namespace vantle::core
