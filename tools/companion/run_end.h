// How one run of a command ends.
//
// Client callbacks and the signal watcher end the run from their threads;
// the main thread waits for the end. The first `finish` fixes the exit code
// and later ones are ignored. `finishAt` asks for an ending a little later,
// which another `finishAt` moves (a pull waits until images stop coming).
// `interrupt` ends the wait without a code, as a passing deadline does.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace vantle::tools {

class RunEnd {
 public:
  using Clock = std::chrono::steady_clock;

  void finish(int code);
  void finishAt(Clock::time_point when, int code);
  void interrupt();

  // True once a code is fixed or the run was interrupted: callbacks that
  // arrive later should do nothing.
  bool ended();

  // Waits for the end. Returns the exit code, or nullopt when `deadline`
  // passed or the run was interrupted first. No deadline waits for ever.
  std::optional<int> wait(std::optional<Clock::time_point> deadline);

 private:
  struct Pending {
    Clock::time_point when;
    int code;
  };

  // Turns a pending ending whose time has come into the code. Needs the lock.
  void settle();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<int> code_;
  std::optional<Pending> pending_;
  bool interrupted_ = false;
};

// The instant `seconds` from now, or none for no limit.
std::optional<RunEnd::Clock::time_point> deadlineAfter(std::optional<double> seconds);

}  // namespace vantle::tools
