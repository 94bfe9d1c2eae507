// A program run as a child process in tests, with what it wrote.
//
// The child starts in the constructor with standard output and standard
// error on pipes. `finish` reads both to their end and waits for the exit,
// killing the child (by its pid) once it runs past `limitSeconds`.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vantle::testing {

struct ProgramRun {
  int exitCode = -1;  // 128 + the signal that ended it
  std::string out;
  std::string err;
  double seconds = 0;
  std::vector<std::string> outLines() const;
};

class ChildProgram {
 public:
  ChildProgram(const std::string& path, std::vector<std::string> arguments);
  ~ChildProgram();
  void signal(int number);
  ProgramRun finish(double limitSeconds = 60);

 private:
  pid_t pid_ = -1;
  int pipes_[2] = {-1, -1};  // its standard output and error
  double startedAt_ = 0;
  bool finished_ = false;
};

inline ProgramRun runProgram(const std::string& path, std::vector<std::string> arguments) {
  return ChildProgram(path, std::move(arguments)).finish();
}

}  // namespace vantle::testing
