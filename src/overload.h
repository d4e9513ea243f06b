#pragma once

namespace qorva {

// Builds one visitor out of several lambdas, for std::visit.
template <class... Fs>
struct Overload : Fs... {
  using Fs::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang < 17).
template <class... Fs>
Overload(Fs...) -> Overload<Fs...>;

}  // namespace qorva
