// A program run as a child for end-to-end tests, watched while it runs.
//
// The child gets a socket as standard input (so writing to a child that has
// gone away fails instead of raising SIGPIPE in the test), and files of its
// own as standard output and error, read on from where the last look ended
// whenever the test looks: a line counts once its line break is written, or
// once the child is gone. The environment is the test process's own (the
// private session bus included) with the given variables set on top. One
// test thread uses it.
//
// The child dies with the thread that started it (PR_SET_PDEATHSIG), and
// destruction kills one that is still running, by its pid, and reaps it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vantle::testing {

class LiveProcess {
 public:
  using Environment = std::map<std::string, std::string>;
  using LineTest = std::function<bool(const std::string&)>;

  LiveProcess(const std::string& program, const std::vector<std::string>& arguments,
              const Environment& environment = {});
  ~LiveProcess();
  LiveProcess(const LiveProcess&) = delete;
  LiveProcess& operator=(const LiveProcess&) = delete;

  // Writes `line` and a line break to its standard input.
  void send(const std::string& line);
  // Ends its standard input.
  void closeInput();
  void signal(int number);

  // The first standard-output line from index `from` on that passes `test`,
  // waiting up to `seconds` for it.
  std::optional<std::string> waitForLine(const LineTest& test, double seconds, size_t from = 0);
  std::optional<std::string> waitForLine(const std::string& prefix, double seconds, size_t from = 0);

  // The exit code (128 + the signal that ended it), or absent when it is
  // still running after `seconds`. Once known, the output is complete.
  std::optional<int> waitForExit(double seconds);
  bool running();
  // Its process ID, for reading /proc or for signals sent from elsewhere.
  pid_t pid() const { return pid_; }

  std::vector<std::string> outLines();
  std::vector<std::string> errLines();
  // Everything it wrote so far, for failure messages.
  std::string transcript();

 private:
  // What the child wrote to one of its files: the whole lines and the rest.
  struct Output {
    std::filesystem::path file;
    size_t read = 0;
    std::string pending;
    std::vector<std::string> lines;
  };
  const std::vector<std::string>& collect(Output& output);
  std::optional<int> reap(bool wait);

  TempFolder folder_;
  Output out_{folder_ / "out"}, err_{folder_ / "err"};
  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> exitCode_;
};

// Whether process `pid` is gone: there is none, or it has ended and only
// waits to be reaped (by a parent that may never do it, or by init).
bool processGone(pid_t pid);

}  // namespace vantle::testing
