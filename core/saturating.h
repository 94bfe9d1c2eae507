// Signed 64-bit arithmetic that clamps instead of wrapping.
//
// Frame counts come from outside (listings, peers, stored files); a count far
// beyond any real folder must neither wrap into a plausible number nor trip
// undefined behaviour.
#pragma once

#include <cstdint>
#include <limits>

namespace vantle::core {

// Exact 128-bit integers for sums that must not wrap (a GCC and Clang extension).
__extension__ typedef __int128 Int128;

inline int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_add_overflow(a, b, &out)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return out;
}

inline int64_t saturatingSub(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_sub_overflow(a, b, &out)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return out;
}

// Clamps an exact 128-bit result into the 64-bit range.
inline int64_t clampToInt64(Int128 v) {
  if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

}  // namespace vantle::core
