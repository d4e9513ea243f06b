// A reference to a callable for a call that runs it before returning: no
// allocation and no ownership, one indirect call. The callable must outlive
// the reference, so it is taken only as a parameter.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace qorva {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
      FunctionRef(F&& f)  // NOLINT: implicit, as a parameter type
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace qorva
