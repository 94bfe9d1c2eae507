// A named serial work queue: the one place a component's mutable state lives.
//
// Work posted to a queue runs in order, one piece at a time, on the threads
// of a ThreadPool. A component owns its queue and touches its state only from
// work running there; other components reach it by posting. Closures that
// cross components hold their owner weakly (see support/weak.h), so work that
// arrives after the owner is gone does nothing.
//
// Thread-safe: every method may be called from any thread.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace vantle::support {

class ThreadPool;

class SerialQueue {
 public:
  using Work = std::function<void()>;

  // `label` names the queue in logs ("com.orvane.vantle.coordinator").
  explicit SerialQueue(std::string label, ThreadPool& pool);
  // A queue on the process-wide pool.
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Runs `work` on the queue after everything posted before it.
  void post(Work work);

  // Runs `work` on the queue once `seconds` have passed (at once when 0 or less).
  void postAfter(double seconds, Work work);

  // Whether the calling thread is running work of this queue now.
  bool isCurrent() const;

  // A way to post to this queue that stays valid after the queue itself is
  // gone (work posted then still runs, on the pool): for closures that must
  // reach the queue without holding its owner.
  std::function<void(Work)> poster() const;

  // Runs `work` and returns its result: in place when the caller is already
  // on the queue (a callback of the owner calling back), else on the queue,
  // waiting for it.
  template <typename F>
  std::invoke_result_t<F> runOrWait(F&& work) {
    if (isCurrent()) return work();
    return sync(std::forward<F>(work));
  }

  // Runs `work` on the queue and waits for its result. Calling it from the
  // queue itself would wait forever: that is a programming error, caught by
  // an assertion in debug builds and a std::logic_error otherwise.
  template <typename F>
  std::invoke_result_t<F> sync(F&& work) {
    refuseReentry();
    using R = std::invoke_result_t<F>;
    auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(work));
    std::future<R> result = task->get_future();
    post([task] { (*task)(); });
    return result.get();
  }

 private:
  friend class RepeatingTimer;
  friend struct QueueAccess;
  void refuseReentry() const;

  struct Impl;
  std::string label_;
  std::unique_ptr<Impl> impl_;
};

// The first statement of every method meant to run only on `queue`: in debug
// builds it aborts, naming the method and the queue, when the caller runs
// anywhere else; release builds check nothing. A method's "on the queue" is
// then a fact the tests hold it to, not only a comment.
#ifdef NDEBUG
#define VANTLE_ON_QUEUE(queue) ((void)0)
#else
#define VANTLE_ON_QUEUE(queue) ::vantle::support::checkOnQueue((queue), __func__)
#endif
void checkOnQueue(const SerialQueue& queue, const char* method);

// Calls a handler on a queue at a fixed cadence, without leeway: each firing
// is scheduled from the previous deadline, so the cadence does not drift. A
// late timer fires once and keeps its cadence from then on; the firings it
// missed are not made up.
// Cancelled by cancel() or by destruction; a firing already running finishes,
// none starts afterwards.
class RepeatingTimer {
 public:
  // Starts at once: the first firing comes after `interval` seconds, or
  // immediately when `fireNow` is true.
  RepeatingTimer(SerialQueue& queue, double interval, std::function<void()> handler, bool fireNow = false);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void cancel();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vantle::support
