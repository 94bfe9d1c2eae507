// Name suggestions for a companion's text fields (job, client, session names).
//
// Two spellings are the same name when they agree in their letters and digits
// once case and diacritics are folded: "Café Shoot" and "cafe-shoot" are one
// name. Each such group is represented by its first spelling in the caller's
// list (trimmed), so a caller that lists names newest first offers the
// spelling used most recently. A name that trims to nothing, or that has no
// letter or digit, belongs to no group.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantle::core::SuggestionDirectory {

// The comparable form of `text`: its letters and digits, case-folded and
// without diacritics, independent of any locale.
std::string normalise(std::string_view text);

// Each normalised form among `names`, mapped to its representative spelling.
std::map<std::string, std::string> canonicalSpellings(std::span<const std::string> names);

// The representative spelling among `names` of `name`'s group; nullopt when
// `name` trims to nothing or no name shares its normalised form.
std::optional<std::string> canonical(std::string_view name, std::span<const std::string> names);

// At most `limit` representative spellings whose normalised form begins with
// that of `text`, one per group, in the order the groups first appear in
// `names`. A `text` without letters or digits matches every name.
std::vector<std::string> suggestions(std::string_view text, std::span<const std::string> names,
                                     int64_t limit);

}  // namespace vantle::core::SuggestionDirectory
