#include "tests/support/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vantle::testing {
namespace {

constexpr const char* variable = "DBUS_SESSION_BUS_ADDRESS";

// The first line the daemon prints; empty when it exits without one.
std::string firstLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    const ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    if (c == '\n') return line;
    line += c;
  }
}

}  // namespace

PrivateBus::PrivateBus() {
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) {
    reason_ = std::string("no pipe for dbus-daemon: ") + std::strerror(errno);
    return;
  }
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    reason_ = std::string("cannot fork dbus-daemon: ") + std::strerror(errno);
    close(pipe[0]);
    close(pipe[1]);
    return;
  }
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(pipe[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
    execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe[1]);
  daemon_ = child;
  const std::string address = firstLine(pipe[0]);
  close(pipe[0]);
  if (address.empty()) {
    reason_ = "dbus-daemon did not start (is the dbus-daemon package installed?)";
    kill(daemon_, SIGTERM);
    waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
    return;
  }
  if (const char* previous = std::getenv(variable)) previousAddress_ = previous;
  setenv(variable, address.c_str(), 1);
  address_ = address;
}

PrivateBus::~PrivateBus() {
  if (daemon_ < 0) return;
  if (previousAddress_) {
    setenv(variable, previousAddress_->c_str(), 1);
  } else {
    unsetenv(variable);
  }
  kill(daemon_, SIGTERM);
  while (waitpid(daemon_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace vantle::testing
