#include "core/planning/suggestion_directory.h"

#include <set>

#include "core/trimmed.h"
#include "core/unicode.h"

namespace vantle::core::SuggestionDirectory {
namespace {

// Calls `fn(key, spelling)` once per group, with the group's first spelling,
// in the order the groups first appear; stops early when `fn` returns false.
template <typename Fn>
void forEachGroup(std::span<const std::string> names, Fn&& fn) {
  std::set<std::string, std::less<>> seen;
  for (const std::string& name : names) {
    const std::string_view spelling = trimmed(name);
    if (spelling.empty()) continue;
    std::string key = normalise(spelling);
    if (key.empty() || seen.contains(key)) continue;
    if (!fn(key, spelling)) return;
    seen.insert(std::move(key));
  }
}

}  // namespace

std::string normalise(std::string_view text) { return foldedAlphanumerics(text); }

std::map<std::string, std::string> canonicalSpellings(std::span<const std::string> names) {
  std::map<std::string, std::string> groups;
  forEachGroup(names, [&](const std::string& key, std::string_view spelling) {
    groups.emplace(key, spelling);
    return true;
  });
  return groups;
}

std::optional<std::string> canonical(std::string_view name, std::span<const std::string> names) {
  const std::string_view spelling = trimmed(name);
  if (spelling.empty()) return std::nullopt;
  const std::string key = normalise(spelling);
  if (key.empty()) return std::nullopt;
  std::optional<std::string> found;
  forEachGroup(names, [&](const std::string& groupKey, std::string_view representative) {
    if (groupKey == key) found = std::string(representative);
    return !found;
  });
  return found;
}

std::vector<std::string> suggestions(std::string_view text, std::span<const std::string> names,
                                     int64_t limit) {
  std::vector<std::string> out;
  if (limit <= 0) return out;
  const std::string prefix = normalise(text);
  forEachGroup(names, [&](const std::string& key, std::string_view spelling) {
    if (key.starts_with(prefix)) out.emplace_back(spelling);
    return static_cast<int64_t>(out.size()) < limit;
  });
  return out;
}

}  // namespace vantle::core::SuggestionDirectory
