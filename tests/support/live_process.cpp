#include "tests/support/live_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "tests/support/eventually.h"

extern char** environ;

namespace vantle::testing {

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

  int input[2];
  const int out = open(out_.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open(err_.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0 || out < 0 || err < 0) {
    throw std::runtime_error(std::string("no input or output for a child: ") + std::strerror(errno));
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    if (getppid() != parent) _exit(127);
    dup2(input[1], STDIN_FILENO);  // dup2 clears close-on-exec on the copies
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    // The test process may block signals in its threads; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(input[1]);
  close(out);
  close(err);
  input_ = input[0];
}

LiveProcess::~LiveProcess() {
  if (!exitCode_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    reap(true);
  }
  if (input_ >= 0) close(input_);
}

const std::vector<std::string>& LiveProcess::collect(Output& output) {
  std::ifstream in(output.file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(output.read));
  const std::string more{std::istreambuf_iterator<char>(in), {}};
  output.read += more.size();
  output.pending += more;
  size_t start = 0;
  for (size_t end; (end = output.pending.find('\n', start)) != std::string::npos; start = end + 1) {
    output.lines.push_back(output.pending.substr(start, end - start));
  }
  output.pending.erase(0, start);
  if (exitCode_ && !output.pending.empty()) output.lines.push_back(std::exchange(output.pending, {}));
  return output.lines;
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
  std::optional<std::string> found;
  eventually(
      [&] {
        const bool ended = !running();  // first: once it has ended, what it wrote is all there
        const std::vector<std::string>& lines = collect(out_);
        for (; from < lines.size() && !found; ++from) {
          if (test(lines[from])) found = lines[from];
        }
        return found || ended;
      },
      seconds);
  return found;
}

std::optional<std::string> LiveProcess::waitForLine(const std::string& prefix, double seconds, size_t from) {
  return waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, seconds, from);
}

std::optional<int> LiveProcess::reap(bool wait) {
  int status = 0;
  const pid_t got = waitpid(pid_, &status, wait ? 0 : WNOHANG);
  if (got != pid_) return std::nullopt;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return exitCode_;
}

std::optional<int> LiveProcess::waitForExit(double seconds) {
  if (!exitCode_ && !eventually([&] { return reap(false).has_value(); }, seconds)) return std::nullopt;
  return exitCode_;
}

bool LiveProcess::running() { return !exitCode_ && !reap(false); }

std::vector<std::string> LiveProcess::outLines() { return collect(out_); }

std::vector<std::string> LiveProcess::errLines() { return collect(err_); }

std::string LiveProcess::transcript() {
  std::string text = "--- standard output\n";
  for (const std::string& line : collect(out_)) text += line + "\n";
  text += "--- standard error\n";
  for (const std::string& line : collect(err_)) text += line + "\n";
  return text;
}

bool processGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');  // the state follows the name, which may hold anything
  return end == std::string::npos || text.compare(end + 2, 1, "Z") == 0;
}

}  // namespace vantle::testing
