// The binding layer's vocabulary over the CPython C API: owned references,
// results whose error is "a Python exception is set", process-wide cells and
// internal failures. Everything here is used with the interpreter lock held,
// but for the unwinding of a thread that the interpreter ended (see
// abandoned_by_interpreter()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace qorva::python {

// The error of a PyResult: the interpreter's current exception is set and the
// caller passes the failure on (return nullptr / -1 at the C API boundary).
struct PyErrorSet {};

template <class T>
using PyResult = std::expected<T, PyErrorSet>;

inline std::unexpected<PyErrorSet> py_error() { return std::unexpected<PyErrorSet>(PyErrorSet{}); }

// Whether this thread has lost the interpreter lock for good: the finalizing
// interpreter ended it (pthread_exit) when it came back for the lock, on
// leaving a call that had released it or inside Python code that a call ran
// (a __index__, a sequence's items, a finalizer). The C++ frames unwinding
// then must not touch a Python object, as another thread holds the lock; the
// process is ending, so what they own is left behind. Once the interpreter
// is finalizing only the finalizing thread can hold the lock.
inline bool abandoned_by_interpreter() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() && !PyGILState_Check();
#else
  return _Py_IsFinalizing() && !PyGILState_Check();
#endif
}

// Owns one strong reference (or none). Move-only; must be destroyed with the
// interpreter lock held, or while abandoned_by_interpreter(), when it lets the
// reference go.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference; null is allowed (an empty Ref).
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) { return Ref(Py_XNewRef(obj)); }

  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, other.release());
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (obj_ != nullptr && !abandoned_by_interpreter()) Py_DECREF(obj_);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives the reference to the caller (a method's return value).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Wraps a C API call that returns a new reference or null with an exception set.
inline PyResult<Ref> checked(PyObject* new_ref) {
  if (new_ref == nullptr) return py_error();
  return Ref::steal(new_ref);
}

// Takes the current exception (normalised, its traceback attached) out of the
// interpreter; empty when none is set.
Ref fetch_exception();

// A process-wide slot for one Python object (a type object, the module),
// empty until first filled and then kept, never released, for the life of the
// process. Read and filled only with the interpreter lock held. Declare it
// `constinit static` so that it needs no initialisation at load time.
class ObjectCell {
 public:
  constexpr ObjectCell() = default;
  ObjectCell(const ObjectCell&) = delete;
  ObjectCell& operator=(const ObjectCell&) = delete;

  PyObject* get() const { return value_; }

  // The stored object, or else the one `make()` returns (a PyResult<Ref>),
  // stored now. When make() calls back into Python and that fills the cell
  // first, the value stored first wins and make()'s is discarded.
  template <class Make>
  PyResult<PyObject*> get_or_init(Make&& make) {
    if (value_ != nullptr) return value_;
    PyResult<Ref> made = make();
    if (!made) return py_error();
    if (value_ == nullptr) value_ = made->release();
    return value_;
  }

 private:
  PyObject* value_ = nullptr;
};

// A broken invariant of the binding layer, or a result object that cannot be
// made. Thrown only for what no caller can expect; the guard() around every
// entry point turns it (like every other C++ exception) into PanicException.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void internal_failure(const std::string& text) { throw InternalFailure(text); }

// An internal failure whose cause is the interpreter's current exception:
// "<what>: <type name>: <its text>"; the exception is cleared.
[[noreturn]] void internal_failure_from_python(const char* what);

}  // namespace qorva::python
