// Diagnostic lines for the agent's console (standard output), one whole line
// per call so that lines from different threads never interleave.
#pragma once

#include <cstdio>
#include <string_view>

namespace vantle::support {

inline void printLine(std::string_view line) {
  std::fprintf(stdout, "%.*s\n", static_cast<int>(line.size()), line.data());
  std::fflush(stdout);
}

}  // namespace vantle::support
