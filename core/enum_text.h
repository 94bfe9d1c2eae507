// Enumerations that travel as text: each case has one name, and only those
// names read back.
//
// Specialise EnumText<E> with `static constexpr std::array names` listing the
// case names in declaration order (case values must be 0, 1, 2, ...).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace vantle::core {

template <typename E>
struct EnumText;

// The text of a case.
template <typename E>
constexpr std::string_view caseName(E e) {
  return EnumText<E>::names[static_cast<size_t>(e)];
}

// The case whose text is exactly `text` (case-sensitive), else nullopt.
template <typename E>
constexpr std::optional<E> caseNamed(std::string_view text) {
  const auto& names = EnumText<E>::names;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace vantle::core
