// Typed reads of JSON values, shared by the wire records' decoders.
//
// Each `asX` answers nullopt when the value is not of that type, so a tolerant
// decoder can fall back to a default and a strict one can fail. `field`
// treats a missing key and a null value alike: both are "absent".
#pragma once

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

#include "core/enum_text.h"
#include "core/vantle_coding.h"

namespace vantle::core::json {

// The value under `key`, or nullptr when `object` lacks it or it is null.
inline const Json* field(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

// A whole number in the signed 64-bit range; an integral float counts.
inline std::optional<int64_t> asInt64(const Json& v) {
  if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<int64_t>();
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return static_cast<int64_t>(u);
    return std::nullopt;
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      return static_cast<int64_t>(d);
    }
  }
  return std::nullopt;
}

// A whole, non-negative number in the unsigned 64-bit range.
inline std::optional<uint64_t> asUInt64(const Json& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>();
  if (v.is_number_integer()) return std::nullopt;  // negative
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::trunc(d) == d && d >= 0 && d < 18446744073709551616.0) return static_cast<uint64_t>(d);
  }
  return std::nullopt;
}

inline std::optional<double> asDouble(const Json& v) {
  if (!v.is_number()) return std::nullopt;
  return v.get<double>();
}

inline std::optional<bool> asBool(const Json& v) {
  if (!v.is_boolean()) return std::nullopt;
  return v.get<bool>();
}

inline std::optional<std::string> asString(const Json& v) {
  if (!v.is_string()) return std::nullopt;
  return v.get_ref<const std::string&>();
}

inline std::optional<Instant> asInstant(const Json& v) {
  if (!v.is_string()) return std::nullopt;
  return VantleCoding::parseInstant(v.get_ref<const std::string&>());
}

inline std::optional<Bytes> asBytes(const Json& v) {
  if (!v.is_string()) return std::nullopt;
  return VantleCoding::base64Decode(v.get_ref<const std::string&>());
}

template <typename E>
std::optional<E> asCase(const Json& v) {
  if (!v.is_string()) return std::nullopt;
  return caseNamed<E>(v.get_ref<const std::string&>());
}

inline std::optional<std::vector<std::string>> asStrings(const Json& v) {
  if (!v.is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(v.size());
  for (const Json& item : v) {
    if (!item.is_string()) return std::nullopt;
    out.push_back(item.get<std::string>());
  }
  return out;
}

// Tolerant read: `target` keeps its value unless `key` holds a readable one.
template <typename T, typename Read>
void readOr(const Json& object, const char* key, T& target, Read read) {
  if (const Json* v = field(object, key)) {
    if (auto value = read(*v)) target = std::move(*value);
  }
}

// Strict read of a required field: false when it is absent or unreadable.
template <typename T, typename Read>
[[nodiscard]] bool readRequired(const Json& object, const char* key, T& target, Read read) {
  const Json* v = field(object, key);
  if (!v) return false;
  auto value = read(*v);
  if (!value) return false;
  target = std::move(*value);
  return true;
}

// Strict read of an optional field: absent (missing or null) is fine, a
// present value of the wrong type is not.
template <typename T, typename Read>
[[nodiscard]] bool readOptional(const Json& object, const char* key, std::optional<T>& target, Read read) {
  const Json* v = field(object, key);
  if (!v) return true;
  auto value = read(*v);
  if (!value) return false;
  target = std::move(*value);
  return true;
}

}  // namespace vantle::core::json
