#include "tools/companion/run_end.h"

#include <algorithm>

namespace vantle::tools {

void RunEnd::settle() {
  if (!code_ && pending_ && Clock::now() >= pending_->when) code_ = pending_->code;
}

void RunEnd::finish(int code) {
  std::lock_guard lock(mutex_);
  settle();
  if (code_ || interrupted_) return;
  code_ = code;
  changed_.notify_all();
}

void RunEnd::finishAt(Clock::time_point when, int code) {
  std::lock_guard lock(mutex_);
  settle();
  if (code_ || interrupted_) return;
  pending_ = Pending{when, code};
  changed_.notify_all();
}

void RunEnd::interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  changed_.notify_all();
}

bool RunEnd::ended() {
  std::lock_guard lock(mutex_);
  settle();
  return code_ || interrupted_;
}

std::optional<int> RunEnd::wait(std::optional<Clock::time_point> deadline) {
  std::unique_lock lock(mutex_);
  while (true) {
    settle();
    if (code_) return code_;
    if (interrupted_) return std::nullopt;
    if (deadline && Clock::now() >= *deadline) return std::nullopt;
    std::optional<Clock::time_point> until = deadline;
    if (pending_) until = until ? std::min(*until, pending_->when) : pending_->when;
    if (until) {
      changed_.wait_until(lock, *until);
    } else {
      changed_.wait(lock);
    }
  }
}

std::optional<RunEnd::Clock::time_point> deadlineAfter(std::optional<double> seconds) {
  if (!seconds) return std::nullopt;
  return RunEnd::Clock::now() +
         std::chrono::duration_cast<RunEnd::Clock::duration>(std::chrono::duration<double>(*seconds));
}

}  // namespace vantle::tools
