// A hash for short keys such as file names and extensions (FNV-1a): cheaper
// than the standard library's general-purpose hash for a few bytes, which
// matters when a folder of tens of thousands of names is read every few
// seconds. Not for keys an adversary chooses to collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantle::core {

struct ShortHash {
  static uint64_t of(std::string_view key) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
    return h;
  }
  size_t operator()(std::string_view key) const { return static_cast<size_t>(of(key)); }
};

}  // namespace vantle::core
