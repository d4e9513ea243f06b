#pragma once

namespace qorva {

// Builds one visitor out of several lambdas, for std::visit.
template <class... Fs>
struct Overload : Fs... { using Fs::operator()...; };

}  // namespace qorva
