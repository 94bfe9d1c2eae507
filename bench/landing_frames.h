// What the end-to-end benchmarks share: frames landing in a capture folder
// the way tethering software writes them (whole, under a hidden name, then
// renamed into place), and the percentiles of the latencies they measure.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vantle::bench {

inline void landFrame(const std::filesystem::path& folder, int64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "IMG_%06lld.CR3", static_cast<long long>(number));
  const std::filesystem::path hidden = folder / (std::string(".") + name + ".part");
  testing::TempFolder::writeAt(hidden, {'r', 'a', 'w'});
  std::filesystem::rename(hidden, folder / name);
}

// The value below which a share `p` of `values` lies; -1 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

}  // namespace vantle::bench
