// The agent program run as a child by the end-to-end benchmarks: its
// standard output read line by line, its CPU, memory and descriptors read
// from /proc. Destruction stops it with SIGTERM and reaps it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vantle::bench {

namespace fs = std::filesystem;

// The agent program as a child, its standard output read line by line.
class AgentProcess {
 public:
  AgentProcess(const fs::path& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args, env;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> environmentCopy = environment;
    for (char** e = environ; *e; ++e) environmentCopy.emplace_back(*e);
    for (auto& e : environmentCopy) env.push_back(e.data());
    env.push_back(nullptr);
    // The stop signals may be blocked in this process; the agent must not inherit that.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int failed = posix_spawn(&pid_, program.c_str(), &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    if (failed != 0) throw std::runtime_error("cannot start " + program.string());
    reader_ = std::thread([this, fd = out[0]] {
      std::string partial;
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        partial.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
          std::lock_guard lock(mutex_);
          lines_.push_back(partial.substr(0, end));
          partial.erase(0, end + 1);
          changed_.notify_all();
        }
      }
      close(fd);
    });
  }

  ~AgentProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    reader_.join();
  }

  // The text after `prefix` on the first line that starts with it.
  std::optional<std::string> waitForLine(const std::string& prefix, double seconds) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      for (const std::string& line : lines_) {
        if (line.rfind(prefix, 0) == 0) found = line.substr(prefix.size());
      }
      return found.has_value();
    });
    return found;
  }

  pid_t pid() const { return pid_; }

  // Resident memory now, in KiB, from /proc; 0 when gone.
  long residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
  }

  // Descriptors it holds open now.
  size_t descriptors() const {
    size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
      ++count;
    }
    return count;
  }

  // CPU seconds the process has used, from /proc.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};


}  // namespace vantle::bench
