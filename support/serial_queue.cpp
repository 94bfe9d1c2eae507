#include "support/serial_queue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "support/asio_queue.h"
#include "support/thread_pool.h"

namespace vantle::support {
namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

struct SerialQueue::Impl {
  explicit Impl(ThreadPool& pool) : strand(asio::make_strand(pool.context())) {}
  Strand strand;
};

Strand& QueueAccess::strand(SerialQueue& queue) { return queue.impl_->strand; }

SerialQueue::SerialQueue(std::string label, ThreadPool& pool)
    : label_(std::move(label)), impl_(std::make_unique<Impl>(pool)) {}

SerialQueue::SerialQueue(std::string label) : SerialQueue(std::move(label), ThreadPool::shared()) {}

SerialQueue::~SerialQueue() = default;

void SerialQueue::post(Work work) { asio::post(impl_->strand, std::move(work)); }

void SerialQueue::postAfter(double seconds, Work work) {
  auto timer = std::make_shared<asio::steady_timer>(impl_->strand, toDuration(seconds));
  timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
    if (!error) work();
  });
}

std::function<void(SerialQueue::Work)> SerialQueue::poster() const {
  return [strand = impl_->strand](Work work) { asio::post(strand, std::move(work)); };
}

bool SerialQueue::isCurrent() const { return impl_->strand.running_in_this_thread(); }

void checkOnQueue(const SerialQueue& queue, const char* method) {
  if (queue.isCurrent()) return;
  std::fprintf(stderr, "%s ran off its queue %s\n", method, queue.label().c_str());
  std::abort();
}

void SerialQueue::refuseReentry() const {
  if (!isCurrent()) return;
  assert(!"SerialQueue::sync called from its own queue: it would wait forever");
  throw std::logic_error("SerialQueue::sync called from its own queue " + label_);
}

// Shared with the pending wait, so that a late firing finds it.
struct RepeatingTimer::State : std::enable_shared_from_this<State> {
  State(Strand& strand, double interval, std::function<void()> handler)
      : strand(strand), timer(strand), interval(toDuration(interval)), handler(std::move(handler)) {}

  // On the queue.
  void waitForNext() {
    timer.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (error || self->cancelled) return;
      self->handler();
      if (self->cancelled) return;
      // From the previous deadline, not from now: no drift, no leeway. A
      // timer that fell behind (a stalled queue, a machine asleep) fired once
      // just now and keeps its cadence from here, rather than making up
      // every firing it missed back to back.
      auto next = self->timer.expiry() + self->interval;
      const auto now = std::chrono::steady_clock::now();
      if (next <= now) next = now + self->interval;
      self->timer.expires_at(next);
      self->waitForNext();
    });
  }
  void cancelHere() {
    cancelled = true;
    timer.cancel();
  }

  Strand strand;
  asio::steady_timer timer;
  std::chrono::steady_clock::duration interval;
  std::function<void()> handler;
  bool cancelled = false;  // touched only on the queue
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, double interval, std::function<void()> handler, bool fireNow)
    : state_(std::make_shared<State>(queue.impl_->strand, interval, std::move(handler))) {
  auto state = state_;
  asio::post(state->strand, [state, fireNow] {
    if (state->cancelled) return;
    state->timer.expires_after(fireNow ? std::chrono::steady_clock::duration::zero() : state->interval);
    state->waitForNext();
  });
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() {
  if (state_->strand.running_in_this_thread()) {
    state_->cancelHere();  // at once, so that no firing starts after this call
    return;
  }
  asio::post(state_->strand, [state = state_] { state->cancelHere(); });
}

}  // namespace vantle::support
