// Where the companion's lines go.
//
// Results (JSON lines, file names) go to the result stream one whole line at
// a time, flushed at once so that a pipe sees each line as it happens. Notes
// (state changes, reasons, diagnostics) go to standard error, prefixed with
// the program's name. Both carry text from the agent (names, reasons, whole
// messages), so what a terminal would act on is written as an escape
// (`printable`, safe_text.h): a JSON line stays valid and means the same, and a plain name
// or sentence shows its odd characters instead of obeying them. Thread-safe;
// lines from different threads never mix.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace vantle::tools {

class Output {
 public:
  explicit Output(std::FILE* results) : results_(results) {}

  void result(const std::string& line);
  void note(const std::string& line);

 private:
  std::mutex mutex_;
  std::FILE* results_;
};

// Keeps standard output for results alone. The network library prints its
// diagnostic lines ("VantleClient: ...") on standard output; they are moved
// to standard error, and the returned stream writes to what standard output
// was. Call once, before any other thread starts.
std::FILE* takeStandardOutput();

}  // namespace vantle::tools
