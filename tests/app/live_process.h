// A program run as a child for end-to-end tests, watched while it runs.
//
// The child gets a socket as standard input (so writing to a child that has
// gone away fails instead of raising SIGPIPE in the test), and pipes as
// standard output and error. A reader thread splits both into lines as they
// come, so a test can wait for a line while the program keeps running. The
// environment is the test process's own (the private session bus included)
// with the given variables set on top.
//
// The child dies with the thread that started it (PR_SET_PDEATHSIG), and
// destruction kills one that is still running, by its pid, and reaps it.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
  pid_t pid() const { return pid_; }

  std::vector<std::string> outLines() const;
  std::vector<std::string> errLines() const;
  // Everything it wrote so far, for failure messages.
  std::string transcript() const;

 private:
  void readOutput(int out, int err);
  std::optional<int> reap(bool wait);

  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> exitCode_;
  std::thread reader_;

  mutable std::mutex mutex_;
  std::condition_variable grew_;
  std::vector<std::string> out_, err_;
  bool outputEnded_ = false;
};

}  // namespace vantle::testing
