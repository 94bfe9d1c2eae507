// Closures that hold their owner weakly: the one idiom for late work.
//
// A component hands others callbacks made here, and posts its own work with
// them; when the component is gone the closure does nothing, so late work
// dies quietly instead of touching freed state.
//
//   weakly(owner, fn)          a callable: fn(owner, args...) while the owner lives
//   postWeakly(queue, owner, fn)  fn(owner) on the queue, if the owner still lives then
//   weaklyOn(queue, owner, fn)    a callable for other threads: it hops onto the
//                                 queue with copies of its arguments
//
// Each takes the owner as a shared_ptr or a weak_ptr. The hop never holds the
// owner on the caller's thread: were it the last hold, the owner would be
// destroyed there, perhaps on a thread its destruction waits for.
#pragma once

#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "support/serial_queue.h"

namespace vantle::support {

// A callable that, while `owner` lives, calls fn(owner, args...); afterwards
// it does nothing.
template <typename T, typename F>
auto weakly(std::weak_ptr<T> owner, F fn) {
  return [weak = std::move(owner), fn = std::move(fn)](auto&&... args) {
    if (std::shared_ptr<T> strong = weak.lock()) fn(*strong, std::forward<decltype(args)>(args)...);
  };
}
template <typename T, typename F>
auto weakly(const std::shared_ptr<T>& owner, F fn) {
  return weakly(std::weak_ptr<T>(owner), std::move(fn));
}

// Runs fn(owner) on `queue` after the work posted before it, unless the
// owner is gone by then.
template <typename T, typename F>
void postWeakly(SerialQueue& queue, std::weak_ptr<T> owner, F fn) {
  queue.post(weakly(std::move(owner), std::move(fn)));
}
template <typename T, typename F>
void postWeakly(SerialQueue& queue, const std::shared_ptr<T>& owner, F fn) {
  postWeakly(queue, std::weak_ptr<T>(owner), std::move(fn));
}

// A callable for any thread that posts fn(owner, copies of its arguments...)
// to `queue`: nothing when the owner is gone at the call or at the run.
template <typename T, typename F>
auto weaklyOn(SerialQueue& queue, std::weak_ptr<T> owner, F fn) {
  return [post = queue.poster(), weak = std::move(owner), fn = std::move(fn)](const auto&... args) {
    if (weak.expired()) return;
    post([weak, fn, copies = std::make_tuple(std::decay_t<decltype(args)>(args)...)]() mutable {
      if (std::shared_ptr<T> held = weak.lock()) {
        std::apply([&](auto&... values) { fn(*held, values...); }, copies);
      }
    });
  };
}
template <typename T, typename F>
auto weaklyOn(SerialQueue& queue, const std::shared_ptr<T>& owner, F fn) {
  return weaklyOn(queue, std::weak_ptr<T>(owner), std::move(fn));
}

}  // namespace vantle::support
