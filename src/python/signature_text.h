// The texts the interpreter reads a callable's signature from, made at
// compile time from its Signature (args.h), so that each signature is
// written once, as its parameter list:
//   a method's docstring   "publish($self, topic, data)\n--\n\nPublish one message ..."
//   a class's signature    "(name, *, base_dir=None, capacity=None)"
// An optional parameter shows its fallback as the interpreter's repr() of it
// (1, 30.0, '') or None; keyword-only ones follow a "*". The interpreter
// keeps pointers to these texts, so each is a constant with static storage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "python/args.h"

namespace qorva::python {

// A string literal as a template argument, kept in a template parameter
// object (static storage): method_def<kPublish, "publish", "Publish ...">.
template <std::size_t N>
struct Literal {
  char chars[N];

  consteval Literal(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
  }
};

namespace text_detail {

// Writes a text into `out`, or only counts it while `out` is null, so that
// one pass sizes the array that the next one fills.
class Writer {
 public:
  constexpr explicit Writer(char* out) : out_(out) {}

  constexpr void put(char c) {
    if (out_ != nullptr) out_[size_] = c;
    ++size_;
  }
  constexpr void put(const char* text) {
    while (*text != '\0') put(*text++);
  }
  // At least `digits` decimal digits, zeros leading.
  constexpr void put_decimal(std::uint64_t n, std::size_t digits = 1) {
    char reversed[20]{};
    std::size_t count = 0;
    do {
      reversed[count++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n != 0 || count < digits);
    while (count > 0) put(reversed[--count]);
  }
  constexpr std::size_t size() const { return size_; }

 private:
  char* out_;
  std::size_t size_ = 0;
};

// As repr() shows a float: the fewest decimals (at least one) that give the
// value back, "30.0", "0.25". Only non-negative values below 1e15 with at most
// six decimals, which repr() shows without an exponent; others do not compile.
constexpr void put_real(Writer& w, double x) {
  if (!(x >= 0 && x < 1e15)) throw "a real fallback is a non-negative number below 1e15";
  const auto whole = static_cast<std::uint64_t>(x);
  double scale = 1;
  for (std::size_t decimals = 1; decimals <= 6; ++decimals) {
    scale *= 10;
    const auto fraction = static_cast<std::uint64_t>((x - static_cast<double>(whole)) * scale + 0.5);
    if (static_cast<double>(whole) + static_cast<double>(fraction) / scale == x) {
      w.put_decimal(whole);
      w.put('.');
      w.put_decimal(fraction, decimals);
      return;
    }
  }
  throw "a real fallback has at most six decimals";
}

// As repr() shows a str that needs no escape.
constexpr void put_quoted(Writer& w, const char* text) {
  w.put('\'');
  for (; *text != '\0'; ++text) {
    if (*text == '\'' || *text == '\\' || static_cast<unsigned char>(*text) < 0x20) {
      throw "a text fallback holds no quote, backslash or control character";
    }
    w.put(*text);
  }
  w.put('\'');
}

constexpr void put_default(Writer& w, const Fallback& fallback) {
  switch (fallback.kind) {
    case Fallback::Kind::None:
      return w.put("None");
    case Fallback::Kind::Integer:
      return w.put_decimal(fallback.integer);
    case Fallback::Kind::Real:
      return put_real(w, fallback.real);
    case Fallback::Kind::Text:
      return put_quoted(w, fallback.text);
  }
}

// "(" ["$self"] parameters ")", a "*" before the first keyword-only one.
template <std::size_t N>
constexpr void put_params(Writer& w, const Signature<N>& signature, bool self) {
  bool first = true;
  auto next = [&](const char* text) {
    if (!first) w.put(", ");
    first = false;
    w.put(text);
  };
  w.put('(');
  if (self) next("$self");
  bool starred = false;
  for (std::size_t i = 0; i < N; ++i) {
    const Param& p = signature.param(i);
    if (p.keyword_only() && !starred) {
      next("*");
      starred = true;
    }
    next(p.name);
    if (!p.required()) {
      w.put('=');
      put_default(w, p.fallback);
    }
  }
  w.put(')');
}

// The text kWrite writes, as a NUL-terminated array of static storage.
template <void (*kWrite)(Writer&)>
inline constexpr auto kText = [] {
  constexpr std::size_t size = [] {
    Writer counter(nullptr);
    kWrite(counter);
    return counter.size();
  }();
  std::array<char, size + 1> text{};
  Writer writer(text.data());
  kWrite(writer);
  return text;
}();

template <const auto& kSignature, bool kSelf, Literal kName, Literal kDoc>
constexpr void write_method_doc(Writer& w) {
  w.put(kName.chars);
  put_params(w, kSignature, kSelf);
  w.put("\n--\n\n");
  w.put(kDoc.chars);
}

template <const auto& kSignature>
constexpr void write_text_signature(Writer& w) {
  put_params(w, kSignature, false);
}

}  // namespace text_detail

// The docstring of a method (kSelf: of an object's, whose list starts with
// "$self") or module function named kName: its signature line, then kDoc.
// The interpreter shows the line as __text_signature__ and the rest as
// __doc__ (None when kDoc is empty).
template <const auto& kSignature, bool kSelf, Literal kName, Literal kDoc>
inline constexpr const char* kMethodDoc =
    text_detail::kText<text_detail::write_method_doc<kSignature, kSelf, kName, kDoc>>.data();

// A class's text signature: its constructor's parameter list.
template <const auto& kSignature>
inline constexpr const char* kTextSignature = text_detail::kText<text_detail::write_text_signature<kSignature>>.data();

// Whether `callable`, a signature's name in its TypeError texts
// ("_RustBus.publish()", "init_logging()"), names the attribute `name`; a
// Signature<0> has none and names any.
consteval bool callable_names(const char* callable, const char* name) {
  if (callable == nullptr) return true;
  const char* last = callable;  // the part after the last dot
  const char* end = callable;
  for (; *end != '\0'; ++end) {
    if (*end == '.') last = end + 1;
  }
  for (; *name != '\0'; ++name, ++last) {
    if (*last != *name) return false;
  }
  return last[0] == '(' && last[1] == ')' && last + 2 == end;
}

}  // namespace qorva::python
