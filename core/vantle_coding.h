// The JSON conventions of every wire record.
//
// Objects keep their keys in declaration order and leave absent optionals
// out. Instants are ISO 8601 in UTC with whole seconds ("2025-03-01T14:05:09Z";
// a fraction is dropped when writing). Bytes are standard base64 with padding.
// Nothing here throws: a value that cannot be read is nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/instant.h"

namespace vantle::core {

using Json = nlohmann::ordered_json;
using Bytes = std::vector<uint8_t>;

namespace VantleCoding {

// "YYYY-MM-DDTHH:MM:SSZ", the instant rounded down to its whole second.
std::string formatInstant(Instant at);

// Reads "YYYY-MM-DDTHH:MM:SSZ" or the same with a "+HH:MM" / "-HH:MM" offset.
// A fraction of a second, any other form, an impossible date or an instant
// outside the representable range is not an instant.
std::optional<Instant> parseInstant(std::string_view text);

std::string base64Encode(std::span<const uint8_t> bytes);
// Standard alphabet, padding required; anything else (whitespace included) fails.
std::optional<Bytes> base64Decode(std::string_view text);

// Writes `value` as compact JSON text. Text that is not valid UTF-8 (a file
// name is only bytes on Linux) is written with U+FFFD in its place rather
// than failing the whole record.
std::string dump(const Json& value);

// Arrays and objects nest no deeper than this in any record the agent and
// its companions exchange (a message holds a verification, which holds
// readings, which are objects); the limit leaves room to spare.
inline constexpr int maximumNesting = 16;

// Parses JSON text; nullopt when it is not JSON, or when it nests arrays and
// objects deeper than maximumNesting. The depth is checked before anything
// is built, so a hostile body of brackets costs one pass over a few bytes.
std::optional<Json> parse(std::string_view text);

// As parse, but an array under the top-level key `key` keeps only its first
// `kept` elements: the rest are read past and never built, so a list of a
// million entries costs one pass over its bytes rather than a million values.
std::optional<Json> parseKeepingFirst(std::string_view text, std::string_view key, size_t kept);

}  // namespace VantleCoding
}  // namespace vantle::core
