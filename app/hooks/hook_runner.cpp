#include "app/hooks/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

#include "support/log.h"
#include "support/safe_text.h"
#include "support/user_files.h"

extern char** environ;

namespace vantle::app {

namespace {

constexpr const char* kLog = "hooks";
constexpr int killGraceMilliseconds = 2000;

// The agent's environment with the event's variables in place of any of the same name.
std::vector<std::string> environmentWith(const HookRunner::Variables& variables) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [variable, value] : variables) replaced = replaced || name == variable;
    if (!replaced) entries.emplace_back(text);
  }
  for (const auto& [variable, value] : variables) entries.push_back(variable + "=" + value);
  return entries;
}

// Waits until the process behind `pidfd` ends, `milliseconds` pass or
// `stop` is signalled (-1 for none); true when it ended.
bool endsWithin(int pidfd, int milliseconds, int stop = -1) {
  pollfd fds[2] = {{pidfd, POLLIN, 0}, {stop, POLLIN, 0}};
  for (;;) {
    const int ready = poll(fds, stop >= 0 ? 2 : 1, milliseconds);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (fds[0].revents & POLLIN);
  }
}

}  // namespace

struct HookRunner::Hook {
  std::filesystem::path program;
  std::string name;
  std::chrono::milliseconds timeLimit;
  std::mutex mutex;  // guards the three below
  std::condition_variable wake;
  std::deque<Variables> pending;
  bool stopping = false;
  bool saidDropped = false;
  int stopSignal = eventfd(0, EFD_CLOEXEC);  // written once the runner goes
  std::thread thread;

  ~Hook() { close(stopSignal); }

  void serve() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || !pending.empty(); });
      if (stopping) return;
      Variables variables = std::move(pending.front());
      pending.pop_front();
      lock.unlock();
      run(variables);
      lock.lock();
    }
  }

  void run(const Variables& variables) {
    std::vector<std::string> environment = environmentWith(variables);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that what it starts is stopped with it; and
    // the signals the agent blocks or ignores are the hook's own again.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGTTIN, SIGTTOU}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
      support::log::error(kLog, "the " + name + " hook could not be run: " + std::strerror(spawned));
      return;
    }

    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool stopped = false;
    if (pidfd >= 0 && !endsWithin(pidfd, static_cast<int>(timeLimit.count()), stopSignal)) {
      stopped = true;
      kill(-pid, SIGTERM);
      endsWithin(pidfd, killGraceMilliseconds);
      // Whatever is left of its group goes too, even what the hook started
      // as the stop came (too late for its own trap to know of it). The hook
      // is not reaped yet, so the group's number cannot be anyone else's.
      kill(-pid, SIGKILL);
    }
    if (pidfd >= 0) close(pidfd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (stopped) {
      const bool agentStopping = [&] {
        std::lock_guard lock(mutex);
        return stopping;
      }();
      support::log::error(kLog, agentStopping ? "the " + name + " hook was stopped with the agent"
                                              : "the " + name + " hook ran past its time limit of " +
                                                    std::to_string(timeLimit.count()) + " ms and was stopped");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      support::log::error(kLog, "the " + name + " hook failed with exit status " + std::to_string(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
      support::log::error(kLog, "the " + name + " hook was ended by signal " + std::to_string(WTERMSIG(status)));
    }
  }

  // Ends the thread; a hook still running is stopped as one past its time.
  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    const uint64_t one = 1;
    (void)!write(stopSignal, &one, sizeof one);
    wake.notify_all();
  }
};

HookRunner::HookRunner(std::filesystem::path folder, std::chrono::milliseconds timeLimit)
    : folder_(std::move(folder)), timeLimit_(timeLimit) {}

HookRunner::~HookRunner() {
  for (auto& [name, hook] : hooks_) hook->stop();
  for (auto& [name, hook] : hooks_) hook->thread.join();
}

std::filesystem::path HookRunner::standardFolder() {
  const auto config = support::configHome();
  return config ? *config / "OrvaneVantle" / "hooks" : std::filesystem::path();
}

void HookRunner::fire(const std::string& event, Variables variables) {
  if (folder_.empty()) return;
  const std::filesystem::path program = folder_ / event;
  if (access(program.c_str(), F_OK) != 0) return;  // no hook for it
  std::lock_guard lock(mutex_);
  std::unique_ptr<Hook>& hook = hooks_[event];
  if (!hook) {
    hook = std::make_unique<Hook>();
    hook->program = program;
    hook->name = support::printable(event);
    hook->timeLimit = timeLimit_;
    hook->thread = std::thread([raw = hook.get()] { raw->serve(); });
  }
  {
    std::lock_guard pendingLock(hook->mutex);
    if (hook->pending.size() == backlog) {
      hook->pending.pop_front();
      if (!hook->saidDropped) {
        support::log::error(kLog, "the " + hook->name + " hook cannot keep up: the oldest waiting events are dropped");
      }
      hook->saidDropped = true;
    }
    hook->pending.push_back(std::move(variables));
  }
  hook->wake.notify_one();
}

}  // namespace vantle::app
