// The module's exception types and the one mapping from a core Error to the
// Python exception that a method raises. Every error of the core and of the
// write-ahead log reaches Python through qorva_err() and nothing else. Each
// type is made once per interpreter, whichever extension module of the
// package needs it first, so the test-only module raises the same classes.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"
#include "python/object.h"

namespace qorva::python {

// The exception a core error becomes: the built-in OSError or one of the
// module's seven types (in registration order).
enum class ExceptionType : std::uint8_t {
  OSError,
  BusFull,
  MessageTooLarge,
  ConnectTimeout,
  TooManySubscribers,
  AlreadyPublishing,
  CursorTooOld,
  Wal,
};

// A mapped error not yet raised: the type and the complete message.
struct PendingException {
  ExceptionType type;
  std::string message;
};

// Formats the exception for a core error; touches nothing of Python, so it
// may run without the interpreter lock. Consumes the error.
PendingException qorva_err(Error error);

// Sets the pending exception as the current one (the type called with the
// message as its only argument) and returns nullptr, for
// `return raise_pending(qorva_err(std::move(err)));`. If the interpreter cannot
// make the message string, its MemoryError is what stays set.
std::nullptr_t raise_pending(PendingException pending);

// qorva_err() then raise_pending().
inline std::nullptr_t raise_error(Error error) { return raise_pending(qorva_err(std::move(error))); }

// raise_error() inside a function that returns a PyResult:
// `if (!got) return py_error(std::move(got.error()));`.
inline std::unexpected<PyErrorSet> py_error(Error error) {
  raise_error(std::move(error));
  return py_error();
}

// The type object of one of the seven types, made on first use (an internal
// failure if the interpreter cannot make it). Borrowed, kept for the process.
PyObject* exception_type(ExceptionType type);

// Adds the seven types to the module (and its __all__) in registration order.
PyResult<void> register_exceptions(PyObject* module);

// Sets PanicException (derived from BaseException, made on first use) with
// the text as its only argument. Never fails: if the type cannot be made, the
// interpreter's own error, or else SystemError with the text, stays set.
void raise_panic(const char* text);

// The PanicException type, made on first use; null with an exception set if
// it cannot be made.
PyObject* panic_exception_type();

}  // namespace qorva::python
