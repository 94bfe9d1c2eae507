// A hash for short keys such as file names and extensions. A folder of tens
// of thousands of names is read every few seconds, and a byte-at-a-time hash
// was a measurable part of that; this one reads a key eight bytes at a time
// and mixes each word with a multiply and a shift, so that both the low bits
// (a table's slot) and the high bits (a slot's tag) depend on every byte.
// Not for keys an adversary chooses to collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vantle::core {

struct ShortHash {
  static uint64_t of(std::string_view key) {
    const char* p = key.data();
    size_t n = key.size();
    uint64_t h = 0x9e3779b97f4a7c15ull ^ n;
    if (n >= 8) {
      for (; n > 8; p += 8, n -= 8) h = mix(h ^ word(p));
      h = mix(h ^ word(p + n - 8));  // the last eight bytes, overlapping when the length is not a multiple
    } else if (n >= 4) {
      h = mix(h ^ (half(p) | uint64_t{half(p + n - 4)} << 32));
    } else if (n > 0) {
      const auto byte = [&](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
      h = mix(h ^ (byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16));
    }
    return finish(h);
  }
  size_t operator()(std::string_view key) const { return static_cast<size_t>(of(key)); }

 private:
  static uint64_t word(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  static uint32_t half(const char* p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  static uint64_t mix(uint64_t x) {
    x *= 0xbf58476d1ce4e5b9ull;
    return x ^ (x >> 32);
  }
  // SplitMix64's finalizer: every input bit reaches every output bit.
  static uint64_t finish(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
  }
};

}  // namespace vantle::core
