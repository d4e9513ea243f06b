// Methods declared by what they are, in the manner of CPython's own modules
// (Argument Clinic's `_impl(self, C values)` functions): a signature, the
// borrow the call takes, where it releases the interpreter lock, and a
// function over C++ values. entry<> makes the function the interpreter calls:
//
//   // The wakeup step may block briefly; a subscriber thread of this process
//   // may need the lock to drain its wakeups meanwhile.
//   constexpr auto kPublish = Method{
//       "_RustBus.publish()", {required("topic"), required("data")}, Borrow::Exclusive, Lock::Released,
//       [](PyBus& bus, std::string_view topic, ByteView data) { return bus.bus.publish(topic, data); }};
//
// (Declared with `constexpr auto k = Method{...}`: g++ 12 places a constant
// declared as `constexpr Method k{...}` in writable memory and reads it at
// every call instead of folding it.)
//
// Its row of the method table comes from it, the signature line of its
// docstring included, so a signature is written only in its Method:
//
//   PyMethodDef kBusMethods[] = {
//       method_def<kPublish, "publish", "Publish one message ...">(),
//       ...
//
// A call of entry<kPublish>, inside guard() like every entry point:
//   1. matches the arguments to the signature (the TypeError texts of args.h);
//   2. takes the borrow: RuntimeError "Already borrowed" (Exclusive) or
//      "Already mutably borrowed" (Shared), and in a forked child
//      "<class> cannot be used in a forked child; create it in the child";
//      Borrow::None takes none;
//   3. converts the arguments in parameter order, each by the C++ type of the
//      function's parameter (ArgType below); a TypeError is prefixed with
//      "argument '<name>': ";
//   4. calls the function, with the interpreter lock released around it
//      under Lock::Released;
//   5. with the lock held and the borrow still taken (a result may view the
//      object's memory): raises the error of a failed result (a core error
//      through the one mapping; a PyErrorSet is set already), or makes the
//      object of its value with to_python (convert.h); Result<void> is None.
//
// A method without parameters declares no signature (its arity error is the
// interpreter's) and is METH_NOARGS; getters and slots are made with the
// same entry<>. A constructor is constructor<>: its function returns the
// instance's value. Nothing touches a Python object while the lock is
// released: the converted values keep only C++ views, which the call's
// references keep valid, and results are made afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/args.h"
#include "python/binding.h"
#include "python/convert.h"
#include "python/exceptions.h"
#include "python/signature_text.h"

namespace qorva::python {

enum class Borrow : unsigned char {
  None,       // the function gets no object (a constructor, a module function)
  Shared,     // `const T&`; any number of calls at once
  Exclusive,  // `T&`; one call alone
};

// Where a call releases the interpreter lock.
enum class Lock : unsigned char {
  Held,            // nowhere: the call is short and never blocks
  Released,        // around the whole function, which sees C++ values only
  ReleasedToWait,  // only where the function waits (its without_gil calls), so
                   // that a message ready at once is copied with the lock held
};

// ---------------------------------------------------------------------------
// Parameter types

// How an argument becomes a parameter of type T: `convert`, or for an absent
// optional argument `fallback` of its Param's fallback, which must be of
// `fallback_kind`. Besides these: std::optional<T> is empty when the argument
// is absent or None (its Param has no fallback), and PyObject* is the
// argument itself, borrowed for the call and null when absent. Any other type
// does not compile.
template <class T>
struct ArgType;

template <>
struct ArgType<ByteView> {
  static constexpr auto convert = to_bytes;
};
template <>
struct ArgType<bool> {
  static constexpr auto convert = to_bool;
};
template <>
struct ArgType<std::uint32_t> {
  static constexpr auto convert = to_u32;
};
template <>
struct ArgType<Cursor> {
  static constexpr auto convert = to_cursor;
};
template <>
struct ArgType<PayloadList> {
  static constexpr auto convert = to_payloads;
};  // as const PayloadList&

// The types an optional parameter with a fallback may have.
template <>
struct ArgType<std::string_view> {
  static constexpr auto convert = to_str;
  static constexpr Fallback::Kind fallback_kind = Fallback::Kind::Text;
  static PyResult<std::string_view> fallback(const Fallback& f) { return std::string_view(f.text); }
};
template <>
struct ArgType<std::uint64_t> {
  static constexpr auto convert = to_u64;
  static constexpr Fallback::Kind fallback_kind = Fallback::Kind::Integer;
  static PyResult<std::uint64_t> fallback(const Fallback& f) { return f.integer; }
};
template <>
struct ArgType<Timeout> {
  static constexpr auto convert = to_timeout;
  static constexpr Fallback::Kind fallback_kind = Fallback::Kind::Real;
  static PyResult<Timeout> fallback(const Fallback& f) { return timeout_from_secs(f.real); }
};
template <>
struct ArgType<DeferredTimeout> {
  static constexpr auto convert = to_deferred_timeout;
  static constexpr Fallback::Kind fallback_kind = Fallback::Kind::Real;
  static PyResult<DeferredTimeout> fallback(const Fallback& f) { return DeferredTimeout{f.real}; }
};

// ---------------------------------------------------------------------------
// Declarations

// One method (getter, slot, constructor): see the top of this file. N is the
// number of parameters, 0 for a callable without a signature.
template <class Impl, std::size_t N>
struct Method {
  static constexpr std::size_t arity = N;
  Signature<N> signature;
  Borrow borrow;
  Lock lock;
  Impl impl;

  template <std::size_t M>
  requires(M == N) consteval Method(const char* callable, const Param (&params)[M], Borrow borrow, Lock lock, Impl impl)
      : signature(callable, params), borrow(borrow), lock(lock), impl(impl) {}
  consteval Method(Borrow borrow, Lock lock, Impl impl) requires(N == 0) : borrow(borrow), lock(lock), impl(impl) {}
};

template <class Impl, std::size_t M>
Method(const char*, const Param (&)[M], Borrow, Lock, Impl) -> Method<Impl, M>;
template <class Impl>
Method(Borrow, Lock, Impl) -> Method<Impl, 0>;

namespace method_detail {

// The parameter types of a function or a lambda.
template <class F>
struct Callable : Callable<decltype(&F::operator())> {};
template <class R, class... A>
struct Callable<R (*)(A...)> {
  using Params = std::tuple<A...>;
};
template <class C, class R, class... A>
struct Callable<R (C::*)(A...) const> : Callable<R (*)(A...)> {};

template <class Tuple>
struct Rest;  // all but the first type
template <class First, class... Rest_>
struct Rest<std::tuple<First, Rest_...>> {
  using type = std::tuple<Rest_...>;
};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
template <class T>
inline constexpr bool is_expected = false;
template <class T, class E>
inline constexpr bool is_expected<std::expected<T, E>> = true;

template <const auto& kMethod>
using MethodType = std::remove_cvref_t<decltype(kMethod)>;
template <const auto& kMethod>
using Traits = Callable<decltype(MethodType<kMethod>::impl)>;

// The function's argument parameters: all of them, or all after the object
// (chosen before either is made: a function of no parameters has no rest).
template <const auto& kMethod>
using ArgParams =
    typename std::conditional_t<kMethod.borrow == Borrow::None, std::type_identity<typename Traits<kMethod>::Params>,
                                Rest<typename Traits<kMethod>::Params>>::type;

// The glue below, and the body of each entry point, is always inlined.

// The argument of parameter I as a T, or the error set.
template <const auto& kMethod, std::size_t I, class T, class Arguments>
[[gnu::always_inline]] inline PyResult<T> convert_arg(const Arguments& args) {
  constexpr Param param = kMethod.signature.param(I);
  if constexpr (std::is_same_v<T, PyObject*>) {
    return args[I];
  } else if constexpr (is_optional<T>) {
    static_assert(param.fallback.kind == Fallback::Kind::None,
                  "a std::optional parameter has no fallback: absence and None empty it");
    return args.convert_optional(I, ArgType<typename T::value_type>::convert);
  } else {
    if constexpr (!param.required()) {
      static_assert(param.fallback.kind == ArgType<T>::fallback_kind,
                    "an optional parameter of this type needs a fallback of its kind");
      if (!args.given(I)) return ArgType<T>::fallback(param.fallback);
    }
    return args.convert(I, ArgType<T>::convert);
  }
}

// Converts the arguments from parameter I on, in order and stopping at the
// first failure, then calls `done` on all of them. Each value stays where its
// conversion made it, a local of this frame, until the call has returned.
template <const auto& kMethod, std::size_t I, class Params, class Arguments, class Done, class... Value>
[[gnu::always_inline]] inline PyObject* with_args(const Arguments& args, Done&& done, Value&... value) {
  if constexpr (I == std::tuple_size_v<Params>) {
    return done(value...);
  } else {
    using T = std::remove_cvref_t<std::tuple_element_t<I, Params>>;
    PyResult<T> next = convert_arg<kMethod, I, T>(args);
    if (!next) return nullptr;
    return with_args<kMethod, I + 1, Params>(args, done, value..., *next);
  }
}

// Raises the error of a failed result (a PyErrorSet is set already); nullptr.
// The mapping is out of line: it is the rare path, and large.
template <class E>
[[gnu::cold, gnu::noinline]] PyObject* raise_core_error(E& error) {
  return raise_error(Error(std::move(error)));
}

template <class E, class T>
[[gnu::always_inline]] inline PyObject* raise_failure(std::expected<T, E>& failed) {
  if constexpr (std::is_same_v<E, PyErrorSet>) {
    return nullptr;
  } else {
    return raise_core_error(failed.error());
  }
}

// The object of a result (see the top of this file).
template <class R>
[[gnu::always_inline]] inline PyObject* result_object(R&& result) {
  using V = std::remove_cvref_t<R>;
  static_assert(!std::is_void_v<V>, "a method's function returns a value or a Result<void>");
  if constexpr (is_expected<V>) {
    if (!result) [[unlikely]]
      return raise_failure(result);
    if constexpr (std::is_void_v<typename V::value_type>) {
      return none().release();
    } else {
      return to_python(std::move(*result)).release();
    }
  } else {
    return to_python(std::move(result)).release();
  }
}

// Converts the arguments, calls the function on them (after `object`, the
// borrowed instance, if any) under the lock policy, and hands its result to
// `finish`.
template <const auto& kMethod, class Arguments, class Finish, class... Object>
[[gnu::always_inline]] inline PyObject* call(const Arguments& args, Finish&& finish, Object&... object) {
  using Params = ArgParams<kMethod>;
  static_assert(std::tuple_size_v<Params> == kMethod.arity, "the function's parameters are not the signature's");
  return with_args<kMethod, 0, Params>(
      args, [&](auto&... value) __attribute__((always_inline)) {
        constexpr auto impl = kMethod.impl;  // a constant, so a direct call
        if constexpr (kMethod.lock == Lock::Released) {
          return finish([&]() __attribute__((always_inline)) {
            GilRelease released;
            return impl(object..., value...);
          }());
        } else {
          return finish(impl(object..., value...));
        }
      });
}

struct NoArguments {};

// Takes the borrow the method declares and calls it on the object.
template <const auto& kMethod, class Arguments>
[[gnu::always_inline]] inline PyObject* call_on(PyObject* self, const Arguments& args) {
  auto finish = [](auto&& result) { return result_object(std::forward<decltype(result)>(result)); };
  if constexpr (kMethod.borrow == Borrow::None) {
    return call<kMethod>(args, finish);
  } else {
    using Object = std::tuple_element_t<0, typename Traits<kMethod>::Params>;
    using T = std::remove_cvref_t<Object>;
    constexpr bool exclusive = kMethod.borrow == Borrow::Exclusive;
    static_assert(std::is_same_v<Object, std::conditional_t<exclusive, T&, const T&>>,
                  "the object is T& under an exclusive borrow and const T& under a shared one");
    using Taken = std::conditional_t<exclusive, ExclusiveBorrow<T>, SharedBorrow<T>>;
    PyResult<Taken> borrow = Taken::take(self);
    if (!borrow) return nullptr;
    return call<kMethod>(args, finish, **borrow);
  }
}

template <const auto& kMethod>
[[gnu::always_inline]] inline PyObject* call_without_arguments(PyObject* self) {
  return guard([&]() __attribute__((always_inline)) { return call_on<kMethod>(self, NoArguments{}); });
}

}  // namespace method_detail

// ---------------------------------------------------------------------------
// Entry points
//
// Each is flattened: the glue, the method's function and the helpers of its
// file all inline into the one function the interpreter calls, so that a hot
// receive or publish does no more work than one written out by hand; the
// price is a larger module.

// METH_FASTCALL | METH_KEYWORDS; for fastcall(). A module function's `self`
// is the module, which a Borrow::None method does not see.
template <const auto& kMethod>
requires(method_detail::MethodType<kMethod>::arity > 0)
    [[gnu::flatten]] PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() __attribute__((always_inline))->PyObject * {
    auto parsed = kMethod.signature.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    return method_detail::call_on<kMethod>(self, *parsed);
  });
}

// METH_NOARGS; for noargs().
template <const auto& kMethod>
requires(method_detail::MethodType<kMethod>::arity == 0) [[gnu::flatten]] PyObject* entry(PyObject* self, PyObject*) {
  return method_detail::call_without_arguments<kMethod>(self);
}

// A getter of a PyGetSetDef.
template <const auto& kMethod>
requires(method_detail::MethodType<kMethod>::arity == 0) [[gnu::flatten]] PyObject* entry(PyObject* self, void*) {
  return method_detail::call_without_arguments<kMethod>(self);
}

// A slot that takes only the object (tp_iternext, tp_repr); for unary_slot().
template <const auto& kMethod>
requires(method_detail::MethodType<kMethod>::arity == 0) [[gnu::flatten]] PyObject* entry(PyObject* self) {
  return method_detail::call_without_arguments<kMethod>(self);
}

// tp_new of a class whose implementation type T the function returns (as a
// PyResult<T> or a Result<T>); the new instance holds it.
template <const auto& kMethod>
requires(kMethod.borrow == Borrow::None) PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() __attribute__((always_inline))->PyObject * {
    auto parsed = kMethod.signature.parse(args, kwargs);
    if (!parsed) return nullptr;
    return method_detail::call<kMethod>(*parsed, [type](auto&& made) -> PyObject* {
      if (!made) return method_detail::raise_failure(made);
      PyResult<Ref> instance = make_instance(type, std::move(*made));
      return instance ? instance->release() : nullptr;
    });
  });
}

inline void* unary_slot(PyObject* (*f)(PyObject*)) { return reinterpret_cast<void*>(f); }

// ---------------------------------------------------------------------------
// Table rows

// The row of a method table that makes kMethod the attribute kName (the
// attribute its signature's callable names): METH_FASTCALL | METH_KEYWORDS
// with parameters, METH_NOARGS without, and the docstring kDoc after the
// signature line the interpreter reads, "$self" first but for a module
// function (Borrow::None):
//   method_def<kBusPublish, "publish", "Publish one message ...">()
//     == {"publish", fastcall(entry<kBusPublish>), METH_FASTCALL | METH_KEYWORDS,
//         "publish($self, topic, data)\n--\n\nPublish one message ..."}
template <const auto& kMethod, Literal kName, Literal kDoc = "">
PyMethodDef method_def() {
  static_assert(callable_names(kMethod.signature.callable(), kName.chars),
                "the row's name is the one its signature's TypeError texts give");
  constexpr const char* doc = kMethodDoc<kMethod.signature, kMethod.borrow != Borrow::None, kName, kDoc>;
  if constexpr (method_detail::MethodType<kMethod>::arity > 0) {
    return {kName.chars, fastcall(entry<kMethod>), METH_FASTCALL | METH_KEYWORDS, doc};
  } else {
    return {kName.chars, noargs(entry<kMethod>), METH_NOARGS, doc};
  }
}

// The ClassSpec (binding.h) of a class whose instances kConstructor makes (a
// Borrow::None Method returning T); the class's text signature is its
// parameter list.
template <class T, const auto& kConstructor>
constexpr ClassSpec class_spec(const char* qualified_name, PyType_Slot* slots, const char* doc) {
  return class_spec<T>(qualified_name, slots, doc, kTextSignature<kConstructor.signature>, constructor<kConstructor>);
}

// ---------------------------------------------------------------------------
// Shared members

// __iter__ (tp_iter) of a class whose objects are their own iterator, and the
// body of its __enter__: the object itself; RuntimeError "Already mutably
// borrowed" while a call holds it exclusively.
template <class T>
PyObject* self_if_shareable(PyObject* self) {
  return guard([&]() __attribute__((always_inline))->PyObject * {
    if (!check_shareable<T>(self)) return nullptr;
    return Py_NewRef(self);
  });
}

// The context manager of a class whose objects outlive their with block, as
// two rows of its method table: enter_method<T>() and exit_method<kExit>(),
// where kExit = context_exit<T>("<class>.__exit__()"). __exit__ releases
// nothing and returns False; "Already borrowed" while any call holds the
// object.
template <class T>
PyObject* enter(PyObject* self, PyObject*) {
  return self_if_shareable<T>(self);
}

template <class T>
consteval auto context_exit(const char* callable) {
  return Method{callable,
                {optional("_exc_type"), optional("_exc_val"), optional("_exc_tb")},
                Borrow::Exclusive,
                Lock::Held,
                [](T&, PyObject*, PyObject*, PyObject*) { return false; }};
}

// __enter__ takes the object alone: "__enter__($self)".
inline constexpr Signature<0> kNoParameters{};

template <class T>
PyMethodDef enter_method() {
  return {"__enter__", noargs(enter<T>), METH_NOARGS, kMethodDoc<kNoParameters, true, "__enter__", "">};
}

template <const auto& kExit>
PyMethodDef exit_method() {
  return method_def<kExit, "__exit__">();
}

}  // namespace qorva::python
