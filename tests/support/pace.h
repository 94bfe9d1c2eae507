// The pace of a simulated peer that acts again and again: a companion trying
// to pair every quarter second, an attacker opening a connection every half
// second. Not a way to wait for the code under test (wait for a condition
// with `eventually` for that): the beats are the peer's own input.
//
// `next` returns at the next beat, or at once with false when `stop` was
// called (from any thread), so a peer winds down as soon as the test is done.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vantle::testing {

class Pace {
 public:
  explicit Pace(std::chrono::milliseconds interval)
      : interval_(interval), beat_(std::chrono::steady_clock::now() + interval) {}

  bool next() {
    std::unique_lock lock(mutex_);
    stopped_changed_.wait_until(lock, beat_, [this] { return stopped_; });
    beat_ += interval_;
    return !stopped_;
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    stopped_changed_.notify_all();
  }

 private:
  const std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point beat_;
  std::mutex mutex_;
  std::condition_variable stopped_changed_;
  bool stopped_ = false;
};

}  // namespace vantle::testing
