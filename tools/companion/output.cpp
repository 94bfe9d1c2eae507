#include "tools/companion/output.h"

#include <unistd.h>

namespace vantle::tools {

void Output::result(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fputs(line.c_str(), results_);
  std::fputc('\n', results_);
  std::fflush(results_);
}

void Output::note(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fprintf(stderr, "vantle-companion: %s\n", line.c_str());
  std::fflush(stderr);
}

std::FILE* takeStandardOutput() {
  std::fflush(stdout);
  const int results = dup(STDOUT_FILENO);
  if (results < 0) return stdout;
  std::FILE* stream = fdopen(results, "w");
  if (!stream) {
    close(results);
    return stdout;
  }
  dup2(STDERR_FILENO, STDOUT_FILENO);
  return stream;
}

}  // namespace vantle::tools
