#include "python/exceptions.h"

#include <array>
#include <cstring>
#include <string>

#include "overload.h"
#include "python/binding.h"

namespace qorva::python {
namespace {

struct ExceptionSpec {
  const char* qualified_name;  // split by the interpreter at the last dot
  PyObject* const* base;       // the interpreter's base class, read at creation
};

// The seven types in registration order, indexed by ExceptionType - 1.
constexpr std::array<ExceptionSpec, 7> kExceptions{{
    {"qorva.BusFullError", &PyExc_Exception},
    {"qorva.MessageTooLargeError", &PyExc_Exception},
    {"qorva.ConnectTimeoutError", &PyExc_Exception},
    {"qorva.TooManySubscribersError", &PyExc_Exception},
    {"qorva.AlreadyPublishingError", &PyExc_Exception},
    {"qorva.CursorTooOldError", &PyExc_Exception},
    {"qorva.WalError", &PyExc_OSError},
}};

constinit ObjectCell exception_cells[kExceptions.size()];
constinit ObjectCell panic_cell;

constexpr const char* kPanicDoc =
    "An internal failure of qorva's binding layer (a broken invariant, or an object that could not be made).\n"
    "\n"
    "Derived from BaseException, so `except Exception` does not swallow it.";

std::string dec(std::uint64_t v) { return std::to_string(v); }

std::string connect_timeout_message(const Error::ConnectTimeout& e) {
  switch (e.awaited) {
    case Error::ConnectTimeout::Awaited::Topic:
      return "timed out waiting for '" + e.topic + "'";
    case Error::ConnectTimeout::Awaited::Subscribers:
      // Worded as a wait for a topic of that name: callers match the text as it has always been.
      return "timed out waiting for 'waiting for subscribers'";
  }
  return {};
}

// A new exception class, or the one of that name that another extension
// module of the package (the test-only one) made first in this interpreter:
// the interpreter's state dictionary keeps each under its qualified name, so
// every module raises the very same classes.
PyResult<Ref> shared_exception_type(const char* qualified_name, const char* doc, PyObject* base) {
  PyResult<Ref> made = checked(PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr));
  PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!made || registry == nullptr) return made;
  PyResult<Ref> key = checked(PyUnicode_FromString(qualified_name));
  if (!key) return py_error();
  PyObject* kept = PyDict_SetDefault(registry, key->get(), made->get());
  if (kept == nullptr) return py_error();
  return Ref::borrow(kept);
}

}  // namespace

PendingException qorva_err(Error error) {
  using E = ExceptionType;
  return std::visit(
      Overload{
          [](Error::Io& e) {
            return PendingException{E::OSError, e.error.text()};
          },
          [](Error::BusFull&) {
            return PendingException{E::BusFull, "ring buffer full"};
          },
          [](Error::MessageTooLarge& e) {
            return PendingException{E::MessageTooLarge,
                                    "message is " + dec(e.size) + " bytes; slot_size is " + dec(e.limit) + " bytes"};
          },
          [](Error::ConnectTimeout& e) {
            return PendingException{E::ConnectTimeout, connect_timeout_message(e)};
          },
          [](Error::TooManySubscribers& e) {
            return PendingException{E::TooManySubscribers, "subscriber limit for this topic is " + dec(e.slots)};
          },
          [](Error::AlreadyPublishing& e) {
            return PendingException{E::AlreadyPublishing, "a publisher is already active for topic '" + e.topic + "'"};
          },
          [](Error::CursorTooOld& e) {
            return PendingException{
                E::CursorTooOld,
                "cursor " + dec(e.cursor) + " is older than the oldest in-ring slot (" + dec(e.oldest) + ")"};
          },
          [](Error::Wal& e) {
            // The log's own text says "in-WAL slot"; the module words this case itself.
            if (const auto* old = std::get_if<wal::WalError::CursorTooOld>(&e.error.value)) {
              return PendingException{
                  E::CursorTooOld,
                  "cursor " + dec(old->cursor) + " is older than the oldest WAL slot (" + dec(old->oldest) + ")"};
            }
            return PendingException{E::Wal, e.error.message()};
          },
      },
      error.value);
}

PyObject* exception_type(ExceptionType type) {
  if (type == ExceptionType::OSError) return PyExc_OSError;
  auto index = static_cast<std::size_t>(type) - 1;
  const ExceptionSpec& spec = kExceptions[index];
  PyResult<PyObject*> made = exception_cells[index].get_or_init(
      [&] { return shared_exception_type(spec.qualified_name, nullptr, *spec.base); });
  if (!made) internal_failure_from_python("Failed to initialize new exception type.");
  return *made;
}

std::nullptr_t raise_pending(PendingException pending) {
  PyObject* type = exception_type(pending.type);
  // Our messages are UTF-8; a stray invalid byte must not turn into a second error.
  PyObject* message =
      PyUnicode_DecodeUTF8(pending.message.data(), static_cast<Py_ssize_t>(pending.message.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

PyResult<void> register_exceptions(PyObject* module) {
  for (std::size_t i = 0; i < kExceptions.size(); ++i) {
    PyObject* type = exception_type(static_cast<ExceptionType>(i + 1));
    std::string name(python_name(kExceptions[i].qualified_name));
    if (!add_object(module, name.c_str(), type)) return py_error();
  }
  return {};
}

PyObject* panic_exception_type() {
  PyResult<PyObject*> made = panic_cell.get_or_init(
      [] { return shared_exception_type("qorva.PanicException", kPanicDoc, PyExc_BaseException); });
  return made ? *made : nullptr;
}

void raise_panic(const char* text) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, text);
    return;
  }
  PyObject* message = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace qorva::python
