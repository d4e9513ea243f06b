// Matching a call's arguments against a callable's parameters, with the
// module's TypeError texts, and converting each matched argument under its
// parameter's name. Used with the interpreter lock held.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "python/object.h"

namespace qorva::python {

// What an absent optional argument stands for: the value the function gets,
// which the signature shows as the parameter's default ("n=1",
// "timeout_secs=30.0", "text=''"). Kind::None, shown as "=None", where
// absence (or None) is the function's to handle.
struct Fallback {
  enum class Kind : unsigned char { None, Integer, Real, Text };
  Kind kind = Kind::None;
  union {  // the member `kind` names; reading another does not compile
    std::uint64_t integer = 0;
    double real;
    const char* text;
  };
};

struct Param {
  enum class Kind : unsigned char { Required, Optional, KeywordOnly };
  const char* name;
  Kind kind;
  Fallback fallback;

  constexpr bool keyword_only() const { return kind == Kind::KeywordOnly; }
  constexpr bool required() const { return kind == Kind::Required; }
};

// Parameters, in order: positional-or-keyword (required ones first), then
// optional keyword-only ones.
constexpr Param required(const char* name) { return {name, Param::Kind::Required, {}}; }
constexpr Param optional(const char* name) { return {name, Param::Kind::Optional, {}}; }
constexpr Param optional(const char* name, int fallback) {
  if (fallback < 0) throw "an integer fallback is not negative";
  return {name, Param::Kind::Optional, {.kind = Fallback::Kind::Integer, .integer = std::uint64_t(fallback)}};
}
constexpr Param optional(const char* name, double fallback) {
  return {name, Param::Kind::Optional, {.kind = Fallback::Kind::Real, .real = fallback}};
}
constexpr Param optional(const char* name, const char* fallback) {
  return {name, Param::Kind::Optional, {.kind = Fallback::Kind::Text, .text = fallback}};
}
constexpr Param keyword_only(const char* name) { return {name, Param::Kind::KeywordOnly, {}}; }

// The shape of a signature, independent of its length.
struct SignatureView {
  const char* callable;  // "init_logging()", "Subscription.recv_timeout()", "_RustBus.__new__()"
  const Param* params;
  std::size_t count;
  std::size_t positional;           // positional-or-keyword parameters
  std::size_t required_positional;  // the leading required ones among them
};

// Fills out[0..count) with borrowed references to the matched arguments
// (null where absent) or raises the TypeError of the first mismatch: surplus
// positionals, then (per keyword, in call order) a duplicate or unknown
// keyword, then missing required positionals.
PyResult<void> match_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              PyObject** out);
// The same for a tuple and an optional dict (tp_new, tp_call).
PyResult<void> match_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// If the current exception is a TypeError, replaces it by TypeError
// "argument '<param>': <its text>" whose __cause__ is the replaced one; any
// other exception stays as it is.
void prefix_argument_error(const char* param);

// The arguments of one call, matched to their parameters. Borrowed: valid
// while the call's argument array (or tuple and dict) is, i.e. for the call.
template <std::size_t N>
class Args {
 public:
  explicit Args(const Param* params) : params_(params) {}

  // The raw argument, or null when it was not given.
  PyObject* operator[](std::size_t i) const { return values_[i]; }
  bool given(std::size_t i) const { return values_[i] != nullptr; }

  // Converts a required argument with `convert` (PyObject* -> PyResult<T>),
  // a TypeError of which gets the parameter's "argument '...': " prefix.
  template <class Convert>
  auto convert(std::size_t i, Convert&& conv) const -> std::invoke_result_t<Convert, PyObject*> {
    auto value = conv(values_[i]);
    if (!value) prefix_argument_error(params_[i].name);
    return value;
  }

  // An optional argument that is empty when absent or None.
  template <class Convert>
  auto convert_optional(std::size_t i, Convert&& conv) const
      -> PyResult<std::optional<typename std::invoke_result_t<Convert, PyObject*>::value_type>> {
    if (!given(i) || values_[i] == Py_None) return std::nullopt;
    auto value = convert(i, std::forward<Convert>(conv));
    if (!value) return py_error();
    return std::move(*value);
  }

  PyObject** data() { return values_.data(); }

 private:
  const Param* params_;
  std::array<PyObject*, N> values_{};
};

// A callable's parameter list, checked at compile time:
//   static constexpr Signature kRecvBatch{"Subscription.recv_batch()",
//                                         {required("n"), optional("timeout_secs", 1.0)}};
// Signature<0> is the empty list of a callable that the interpreter calls
// without arguments (METH_NOARGS, getters, slots); it parses nothing. The
// interpreter reads a signature from the text signature_text.h makes of it.
template <std::size_t N>
class Signature {
 public:
  consteval Signature() requires(N == 0) : callable_(nullptr) {}

  template <std::size_t M>
  requires(M == N) consteval Signature(const char* callable, const Param (&params)[M]) : callable_(callable) {
    bool seen_optional = false;
    bool seen_keyword_only = false;
    for (std::size_t i = 0; i < N; ++i) {
      params_[i] = params[i];
      if (params[i].keyword_only()) {
        seen_keyword_only = true;
        continue;
      }
      if (seen_keyword_only) throw "a positional parameter follows a keyword-only one";
      if (params[i].required() && seen_optional) throw "a required positional parameter follows an optional one";
      seen_optional = seen_optional || !params[i].required();
      ++positional_;
      if (params[i].required()) ++required_positional_;
    }
  }

  PyResult<Args<N>> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    Args<N> out(params_.data());
    if (!match_fastcall(view(), args, nargs, kwnames, out.data())) return py_error();
    return out;
  }

  PyResult<Args<N>> parse(PyObject* args, PyObject* kwargs) const {
    Args<N> out(params_.data());
    if (!match_tuple_dict(view(), args, kwargs, out.data())) return py_error();
    return out;
  }

  SignatureView view() const { return {callable_, params_.data(), N, positional_, required_positional_}; }
  constexpr const char* callable() const { return callable_; }  // null for Signature<0>
  constexpr const Param& param(std::size_t i) const { return params_[i]; }

 private:
  const char* callable_;
  std::array<Param, N> params_{};
  std::size_t positional_ = 0;
  std::size_t required_positional_ = 0;
};

template <std::size_t M>
Signature(const char*, const Param (&)[M]) -> Signature<M>;

}  // namespace qorva::python
