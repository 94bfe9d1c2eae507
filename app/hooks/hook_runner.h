// The user's hooks: executables in ~/.config/OrvaneVantle/hooks/ named after
// the event they follow ("frame-landed", "shot-closed", "shoot-ended"), run
// with the event's facts in VANTLE_* environment variables, the way
// tethering users hand frames on to their own scripts.
//
// A hook is run directly, without a shell, so nothing in a folder or file
// name is ever interpreted; its standard input is /dev/null and its output
// goes to the agent's standard error. Each hook runs at most once at a time,
// on a thread of its own: `fire` only notes the event and returns, so a hook
// that hangs or floods never slows the caller. Events that arrive while a
// hook runs wait, at most `backlog` of them (the oldest goes first, and that
// is logged); a hook still running after the time limit is sent SIGTERM, and
// SIGKILL two seconds later, with whatever it started. A missing hook is not
// an error; one that cannot be run, fails or is stopped is logged.
//
// Thread-safe. The destructor stops every hook still running and joins.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vantle::app {

class HookRunner {
 public:
  using Variables = std::vector<std::pair<std::string, std::string>>;
  static constexpr size_t backlog = 16;

  HookRunner(std::filesystem::path folder, std::chrono::milliseconds timeLimit);
  ~HookRunner();
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  // The hooks folder in the user's configuration folder; empty when there is none.
  static std::filesystem::path standardFolder();

  // Runs the hook named `event`, when there is one, with `variables` added to
  // the agent's environment.
  void fire(const std::string& event, Variables variables);

 private:
  struct Hook;
  const std::filesystem::path folder_;
  const std::chrono::milliseconds timeLimit_;
  std::mutex mutex_;  // guards hooks_
  std::map<std::string, std::unique_ptr<Hook>> hooks_;
};

}  // namespace vantle::app
