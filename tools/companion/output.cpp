#include "tools/companion/output.h"

#include <unistd.h>

#include "support/safe_text.h"

namespace vantle::tools {

void Output::result(const std::string& line) {
  const std::string safe = support::printable(line);
  std::lock_guard lock(mutex_);
  std::fwrite(safe.data(), 1, safe.size(), results_);
  std::fputc('\n', results_);
  std::fflush(results_);
}

void Output::note(const std::string& line) {
  const std::string safe = support::printable(line);
  std::lock_guard lock(mutex_);
  std::fprintf(stderr, "vantle-companion: %.*s\n", static_cast<int>(safe.size()), safe.data());
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
