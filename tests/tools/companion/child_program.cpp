#include "tests/tools/companion/child_program.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vantle::testing {

namespace {
double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
}  // namespace

std::vector<std::string> ProgramRun::outLines() const {
  std::vector<std::string> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

ChildProgram::ChildProgram(const std::string& path, std::vector<std::string> arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int ends[2][2];
  for (int i = 0; i < 2; ++i) {
    if (pipe(ends[i]) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, ends[i][1], i == 0 ? STDOUT_FILENO : STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[i][0]);
  }
  arguments.insert(arguments.begin(), path);
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  startedAt_ = now();
  const int error = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; i < 2; ++i) {
    close(ends[i][1]);
    pipes_[i] = ends[i][0];
  }
  if (error != 0) throw std::runtime_error("cannot start " + path);
}

ChildProgram::~ChildProgram() {
  if (!finished_) finish(0);
}

void ChildProgram::signal(int number) { kill(pid_, number); }

ProgramRun ChildProgram::finish(double limitSeconds) {
  ProgramRun run;
  const double deadline = now() + limitSeconds;
  pollfd fds[2] = {{pipes_[0], POLLIN, 0}, {pipes_[1], POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, static_cast<int>(std::max(0.0, deadline - now()) * 1000)) == 0) kill(pid_, SIGKILL);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  run.seconds = now() - startedAt_;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  finished_ = true;
  return run;
}

}  // namespace vantle::testing
