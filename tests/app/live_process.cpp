#include "tests/app/live_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tests/support/eventually.h"

extern char** environ;

namespace vantle::testing {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Moves every whole line of `pending` into `lines`.
void takeLines(std::string& pending, std::vector<std::string>& lines) {
  size_t start = 0;
  for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(pending.substr(start, end - start));
  }
  pending.erase(0, start);
}

}  // namespace

LiveProcess::LiveProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const Environment& environment) {
  // Everything the child needs is made before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> argumentTexts{program};
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argumentTexts) argv.push_back(text.data());
  argv.push_back(nullptr);

  std::vector<std::string> environmentTexts;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text(*entry);
    if (!environment.contains(text.substr(0, text.find('=')))) environmentTexts.push_back(text);
  }
  for (const auto& [name, value] : environment) environmentTexts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : environmentTexts) envp.push_back(text.data());
  envp.push_back(nullptr);

  int input[2], out[2], err[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("no pipes for a child: ") + std::strerror(errno));
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    if (getppid() != parent) _exit(127);
    dup2(input[1], STDIN_FILENO);  // dup2 clears close-on-exec on the copies
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    // The test process may block signals in its threads; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(input[1]);
  close(out[1]);
  close(err[1]);
  input_ = input[0];
  reader_ = std::thread([this, outFd = out[0], errFd = err[0]] { readOutput(outFd, errFd); });
}

LiveProcess::~LiveProcess() {
  if (!exitCode_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    reap(true);
  }
  if (input_ >= 0) close(input_);
  reader_.join();
}

void LiveProcess::readOutput(int out, int err) {
  std::string pending[2];
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  bool childGone = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    // Once the child is reaped everything it wrote is in the pipes: read
    // that, and stop even if a descendant still holds them open.
    const int ready = poll(fds, 2, childGone ? 0 : 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && childGone) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      std::lock_guard lock(mutex_);
      if (got > 0) {
        pending[i].append(buffer, static_cast<size_t>(got));
        takeLines(pending[i], i == 0 ? out_ : err_);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        if (!pending[i].empty()) (i == 0 ? out_ : err_).push_back(pending[i]);
        pending[i].clear();
      }
      grew_.notify_all();
    }
    std::lock_guard lock(mutex_);
    childGone = exitCode_.has_value();
  }
  std::lock_guard lock(mutex_);
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd >= 0) close(fds[i].fd);
    if (!pending[i].empty()) (i == 0 ? out_ : err_).push_back(pending[i]);
  }
  outputEnded_ = true;
  grew_.notify_all();
}

void LiveProcess::send(const std::string& line) {
  const std::string text = line + "\n";
  for (size_t sent = 0; sent < text.size();) {
    const ssize_t n = ::send(input_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the child is gone; its exit code tells the test
    sent += static_cast<size_t>(n);
  }
}

void LiveProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void LiveProcess::signal(int number) {
  if (!exitCode_ && pid_ > 0) kill(pid_, number);
}

std::optional<std::string> LiveProcess::waitForLine(const LineTest& test, double seconds, size_t from) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  grew_.wait_until(lock, after(seconds), [&] {
    for (size_t i = from; i < out_.size(); ++i) {
      if (test(out_[i])) {
        found = out_[i];
        return true;
      }
    }
    return outputEnded_;
  });
  return found;
}

std::optional<std::string> LiveProcess::waitForLine(const std::string& prefix, double seconds, size_t from) {
  return waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, seconds, from);
}

std::optional<int> LiveProcess::reap(bool wait) {
  int status = 0;
  const pid_t got = waitpid(pid_, &status, wait ? 0 : WNOHANG);
  if (got != pid_) return std::nullopt;
  std::lock_guard lock(mutex_);
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return exitCode_;
}

std::optional<int> LiveProcess::waitForExit(double seconds) {
  if (!exitCode_ && !eventually([&] { return reap(false).has_value(); }, seconds)) return std::nullopt;
  // The pipes close with the child; what it wrote last is then all read.
  std::unique_lock lock(mutex_);
  grew_.wait_until(lock, after(10), [&] { return outputEnded_; });
  return exitCode_;
}

bool LiveProcess::running() { return !exitCode_ && !reap(false); }

std::vector<std::string> LiveProcess::outLines() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::vector<std::string> LiveProcess::errLines() const {
  std::lock_guard lock(mutex_);
  return err_;
}

std::string LiveProcess::transcript() const {
  std::lock_guard lock(mutex_);
  std::string text = "--- standard output\n";
  for (const std::string& line : out_) text += line + "\n";
  text += "--- standard error\n";
  for (const std::string& line : err_) text += line + "\n";
  return text;
}

}  // namespace vantle::testing
