// What went wrong in a desktop service, as a value the caller can show.
//
// Desktop services never throw and never end the process: a missing bus, an
// absent daemon or an unwritable file becomes a Failure whose description is
// a short English sentence fit for the menu's error line.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vantle::agent {

struct Failure {
  std::string description;
  bool operator==(const Failure&) const = default;
};

// Either a value or the Failure that prevented it.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Failure failure) : state_(std::move(failure)) {}

  bool ok() const { return state_.index() == 0; }
  // Only when ok().
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  // Only when !ok().
  const Failure& failure() const { return std::get<1>(state_); }

 private:
  std::variant<T, Failure> state_;
};

}  // namespace vantle::agent
