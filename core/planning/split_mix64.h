// The SplitMix64 generator: small, seeded and repeatable.
//
// The same seed always yields the same sequence, on every platform, which is
// what a layout that must look the same on every device needs. Not for
// anything secret.
#pragma once

#include <cstdint>

namespace vantle::core {

struct SplitMix64 {
  uint64_t state = 0;

  explicit SplitMix64(uint64_t seed) : state(seed) {}

  // The next value; advances the state.
  uint64_t next() {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // The next value as a double in [0, 1), from its top 53 bits.
  double nextDouble() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

}  // namespace vantle::core
