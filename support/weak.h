// Closures that hold their owner weakly.
//
// A component hands others callbacks made here; when the component is gone
// the callback does nothing, so late work dies quietly instead of touching
// freed state.
#pragma once

#include <memory>
#include <utility>

namespace vantle::support {

// A callable that, while `owner` lives, calls fn(owner, args...); afterwards
// it does nothing.
template <typename T, typename F>
auto weakly(const std::shared_ptr<T>& owner, F fn) {
  return [weak = std::weak_ptr<T>(owner), fn = std::move(fn)](auto&&... args) {
    if (std::shared_ptr<T> strong = weak.lock()) fn(*strong, std::forward<decltype(args)>(args)...);
  };
}

}  // namespace vantle::support
