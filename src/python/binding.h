// The generic binding layer that every class of qorva._qorva is built on.
//
// A class lives in its own file (py_bus.cpp, py_subscription.cpp, ...): one
// implementation type (PyBus), its methods declared with method.h, one table
// of methods, one of getters, one slot array, one ClassSpec, and a getter of
// its type object that module.cpp registers:
//
//   PyMethodDef kBusMethods[] = {
//       method_def<kPublish, "publish", "Publish one message ...">(),
//       {nullptr, nullptr, 0, nullptr}};
//   PyType_Slot kBusSlots[] = {{Py_tp_methods, kBusMethods}, {0, nullptr}};
//   constexpr ClassSpec kBusClass = class_spec<PyBus, kBusNew>("qorva._qorva._RustBus", kBusSlots, kBusDoc);
//   PyResult<PyTypeObject*> bus_type() { return class_type<kBusClass>(); }
//
// Rules: every entry point (method, slot, getter, tp_new) runs its body inside
// guard() and is not noexcept (see guard()). Nothing touches a Python object
// while the lock is released.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "fork.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/exceptions.h"
#include "python/object.h"

namespace qorva::python {

// ---------------------------------------------------------------------------
// Entry points

// Runs an entry point's body. A C++ exception escaping it (InternalFailure,
// std::bad_alloc, any std::exception) becomes PanicException carrying its
// what(); the entry point then returns nullptr (pointer bodies) or -1
// (integer bodies). Never lets an exception reach the interpreter. Always
// inlined, like the body it runs: an entry point is one function.
//
// The one unwinding it lets through is the end of the thread: a finalizing
// interpreter ends a thread that comes back for the lock with pthread_exit,
// which unwinds the thread's C++ frames on its way out. A noexcept frame, or a
// catch that swallows the unwind, would turn that into std::terminate, so
// neither guard() nor any frame between the interpreter and the core is
// noexcept, and every catch-all passes abi::__forced_unwind on.
template <class Body>
[[gnu::always_inline]] inline auto guard(Body&& body) -> std::invoke_result_t<Body> {
  using R = std::invoke_result_t<Body>;
  static_assert(std::is_pointer_v<R> || std::is_integral_v<R>, "an entry point returns a pointer or an integer");
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

// Method table entries: the C API stores every method as a PyCFunction.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoargsFunction = PyObject* (*)(PyObject*, PyObject*);
// For METH_FASTCALL | METH_KEYWORDS.
inline PyCFunction fastcall(FastcallFunction f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
// For METH_NOARGS.
inline PyCFunction noargs(NoargsFunction f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

// ---------------------------------------------------------------------------
// The interpreter lock

// Releases the interpreter lock for its scope and takes it back on every way
// out, an exception's unwinding included. Create and destroy on one thread.
// Taking it back may end the thread instead (see guard()): the destructor
// then unwinds, and the frames outside it run without the lock
// (abandoned_by_interpreter() is true there).
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs a core call with the interpreter lock released and returns its result.
// The call must not touch Python objects.
template <class Call>
auto without_gil(Call&& call) -> std::invoke_result_t<Call> {
  GilRelease released;
  return call();
}

// ---------------------------------------------------------------------------
// Objects and borrowing

// Whether objects whose implementation type is T act on state they share
// with other processes or with the process that made them (a ring mapping, a
// socket, a log, a cursor slot), so that a forked child must not use them.
// Plain values (snapshots) opt out with a specialisation to false.
template <class T>
inline constexpr bool kProcessBound = true;

// An object's borrow state: free (0), shared by a count of running calls
// (> 0) or exclusive to one call (-1). Taken only with the interpreter lock
// held, but also given up by a thread that the finalizing interpreter ended
// on its way back to the lock (see guard()), while another thread holds it.
// Its object stays alive (the ended thread's Python frame keeps it for good)
// and consistent (the core call had returned, or, inside a receive, the step
// it released the lock for had finished: Subscriber::BlockingSteps), so the
// borrow is given up rather than left to block the object. Hence atomic:
// only the holder writes an exclusive state, so it is stored; a shared count
// may change meanwhile, so it is counted atomically. On x86 the exclusive
// path, the one of every publish and receive, stays plain loads and stores.
class BorrowFlag {
 public:
  bool free() const { return state_.load(std::memory_order_acquire) == 0; }
  bool exclusive() const { return state_.load(std::memory_order_acquire) < 0; }

 private:
  template <class T>
  friend class SharedBorrow;
  template <class T>
  friend class ExclusiveBorrow;
  std::atomic<int> state_{0};
};

// Raises the RuntimeError of Instance::usable below, naming the object's class.
[[gnu::cold]] std::unexpected<PyErrorSet> refuse_in_forked_child(PyObject* self);

// The memory layout of an instance of a class whose implementation type is T.
// T is made by make_instance and destroyed by dealloc_instance.
template <class T>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  ForkEpoch origin;  // the process that made it
  alignas(T) unsigned char storage[sizeof(T)];

  T& value() { return *std::launder(reinterpret_cast<T*>(storage)); }
  static Instance& of(PyObject* self) { return *reinterpret_cast<Instance*>(self); }

  // The instance behind `self` if this process may use it. In a child forked
  // after a process-bound object was made, RuntimeError "<class> cannot be
  // used in a forked child; create it in the child": acting on it there would
  // change what the parent still uses. One load and compare, no system call.
  static PyResult<Instance*> usable(PyObject* self) {
    Instance& inst = of(self);
    if constexpr (kProcessBound<T>) {
      if (!inst.origin.in_origin()) [[unlikely]]
        return refuse_in_forked_child(self);
    }
    return &inst;
  }
};

// A shared borrow of an object for one call: const access, any number at once.
// take() raises RuntimeError "Already mutably borrowed" while an exclusive
// borrow is held (after Instance::usable's check). Keep it for the whole
// call, across lock releases; it must be destroyed with the interpreter lock
// held, or by a thread the interpreter ended (see BorrowFlag).
template <class T>
class SharedBorrow {
 public:
  static PyResult<SharedBorrow> take(PyObject* self) {
    PyResult<Instance<T>*> inst = Instance<T>::usable(self);
    if (!inst) return py_error();
    if ((*inst)->borrow.exclusive()) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return py_error();
    }
    return SharedBorrow(**inst);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : inst_(std::exchange(other.inst_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (inst_ != nullptr) inst_->borrow.state_.fetch_sub(1, std::memory_order_release);
  }

  const T& operator*() const { return inst_->value(); }
  const T* operator->() const { return &inst_->value(); }

 private:
  explicit SharedBorrow(Instance<T>& inst) : inst_(&inst) {
    inst_->borrow.state_.fetch_add(1, std::memory_order_relaxed);
  }
  Instance<T>* inst_;
};

// An exclusive borrow of an object for one call: mutable access, alone.
// take() raises RuntimeError "Already borrowed" while any borrow is held
// (after Instance::usable's check). Same lifetime rules as SharedBorrow.
template <class T>
class ExclusiveBorrow {
 public:
  static PyResult<ExclusiveBorrow> take(PyObject* self) {
    PyResult<Instance<T>*> inst = Instance<T>::usable(self);
    if (!inst) return py_error();
    if (!(*inst)->borrow.free()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return py_error();
    }
    return ExclusiveBorrow(**inst);
  }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : inst_(std::exchange(other.inst_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (inst_ != nullptr) inst_->borrow.state_.store(0, std::memory_order_release);
  }

  T& operator*() const { return inst_->value(); }
  T* operator->() const { return &inst_->value(); }

 private:
  explicit ExclusiveBorrow(Instance<T>& inst) : inst_(&inst) {
    inst_->borrow.state_.store(-1, std::memory_order_relaxed);
  }
  Instance<T>* inst_;
};

// For members that only check (__iter__, __enter__): the errors of
// SharedBorrow::take; nothing is kept.
template <class T>
PyResult<void> check_shareable(PyObject* self) {
  if (!SharedBorrow<T>::take(self)) return py_error();
  return {};
}

// A new instance of `type` holding `value`, borrow state free, made in this
// process (see Instance::usable). If the interpreter cannot allocate it, its
// error is set and `value` is left to the caller (destroyed with it). For
// results that must exist, wrap in expect().
template <class T>
PyResult<Ref> make_instance(PyTypeObject* type, T&& value) {
  static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<T>>);
  using V = std::remove_cvref_t<T>;
  PyResult<Ref> obj = checked(type->tp_alloc(type, 0));
  if (!obj) return py_error();
  Instance<V>& inst = Instance<V>::of(obj->get());
  new (&inst.borrow) BorrowFlag();
  new (&inst.origin) ForkEpoch();
  new (inst.storage) V(std::move(value));
  return obj;
}

// tp_dealloc of a class whose implementation type is T: destroys T (the core
// teardown, with the interpreter lock held), frees the memory and drops the
// instance's reference to its heap type. Runs no Python code and keeps the
// lock, so no thread can be ended inside it. Also in a forked child: the core
// teardown of an inherited object leaves the parent's shared state alone.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Instance<T>::of(self).value().~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Classes

// What the binding layer needs to make one class's heap type. Every pointer
// must have static storage: the interpreter keeps some of them.
struct ClassSpec {
  const char* qualified_name;  // "qorva._qorva.Subscription": __module__ and __name__
  PyType_Slot* slots;          // the class's own slots (methods, getset, iter, ...), {0, nullptr}-ended;
                               // not doc, new or dealloc, which the fields below give
  const char* doc;             // the class docstring
  const char* text_signature;  // "(name, *, ...)" for a class with a constructor, else nullptr
  newfunc constructor;         // tp_new; nullptr gives TypeError "No constructor defined for <name>"
  int basicsize;
  destructor dealloc;
};

// The ClassSpec of a class whose implementation type is T (its layout and teardown).
template <class T>
constexpr ClassSpec class_spec(const char* qualified_name, PyType_Slot* slots, const char* doc,
                               const char* text_signature = nullptr, newfunc constructor = nullptr) {
  return ClassSpec{qualified_name,      slots, doc, text_signature, constructor, static_cast<int>(sizeof(Instance<T>)),
                   &dealloc_instance<T>};
}

// The type object of one class, made from its ClassSpec on first use and kept for
// the process: base object, not subclassable, immutable, no __dict__, no weak
// references.
class ClassCell {
 public:
  constexpr ClassCell() = default;
  PyResult<PyTypeObject*> get(const ClassSpec& spec);

 private:
  ObjectCell cell_;
};

// The type object of the class kSpec describes, through the one ClassCell
// kept for it: the body of each class's type getter.
template <const ClassSpec& kSpec>
PyResult<PyTypeObject*> class_type() {
  static constinit ClassCell cell;
  return cell.get(kSpec);
}

// The last dotted part of a qualified name ("qorva._qorva.Subscription" ->
// "Subscription"), which the interpreter reports as __name__.
std::string_view python_name(const char* qualified_name);

// The documentation text of a class: with a text signature,
// "<name><signature>\n--\n\n<doc>" (the interpreter then reports
// __text_signature__), else the docstring unchanged. A NUL in either raises
// ValueError "class doc cannot contain nul bytes".
PyResult<std::string> class_doc(std::string_view name, std::string_view text_signature, std::string_view doc);

// ---------------------------------------------------------------------------
// Module registration

// Appends the name to the module's __all__ (creating the list on first use;
// a failure is an internal failure "could not append __name__ to __all__"),
// then sets the attribute.
PyResult<void> add_object(PyObject* module, const char* name, PyObject* object);

using TypeGetter = PyResult<PyTypeObject*> (*)();

// Registers a class under its Python name (the last part of its qualified name).
PyResult<void> add_class(PyObject* module, TypeGetter type);

// Registers a module-level built-in function bound to the module (its
// __module__ is the module's name). `def` must have static storage.
PyResult<void> add_function(PyObject* module, PyMethodDef* def);

}  // namespace qorva::python
