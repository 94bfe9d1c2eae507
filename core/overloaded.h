// One visitor made of several lambdas, for std::visit over the core's
// variants (shot events, audit findings).
#pragma once

namespace vantle::core {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace vantle::core
