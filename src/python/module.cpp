// The extension module qorva._qorva: its entry point, the one-time creation
// of the module object, the registration of its names, and init_logging().
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "logging.h"
#include "python/binding.h"
#include "python/method.h"
#include "python/py_bus.h"
#include "python/py_stats.h"
#include "python/py_subscription.h"
#include "wal/open_logs.h"

namespace qorva::python {
namespace {

// ---------------------------------------------------------------------------
// init_logging(level=None)

constexpr auto kInitLogging =
    Method{"init_logging()", {optional("level")}, Borrow::None, Lock::Held, [](std::optional<std::string_view> level) {
             return qorva::init_logging(level);
           }};

PyMethodDef init_logging_def =
    method_def<kInitLogging, "init_logging",
               "Switch on qorva's diagnostic logging to standard error.\n"
               "\n"
               "Installs a process-wide output of the bus's structured events: publisher created,\n"
               "subscriber connected, subscriber dropped, publisher restarted and torn log tail\n"
               "truncated. The filter comes from the RUST_LOG environment variable when it is set\n"
               "(for example RUST_LOG=qorva=debug), else from `level`, else \"info\".\n"
               "\n"
               "May be called again and again: only the first call in a process tries to install\n"
               "the output. Returns True if this call installed it, False otherwise.">();

// ---------------------------------------------------------------------------
// The module

// The getter of each class's type object, in registration order; each
// class's own file defines its getter.
constexpr std::array<TypeGetter, 5> kClassTypes{bus_type, topic_publisher_type, subscription_type, topic_stats_type,
                                                wal_stats_type};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_qorva",
    "",       // __doc__
    0,        // no per-module state
    nullptr,  // no method table: the body adds the function
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// At a normal exit every log still open writes out and syncs what it holds:
// a publisher that a daemon thread or an uncollected cycle still references
// is never destroyed, and its last acknowledged records would stay in its
// buffer. Py_AtExit rather than the atexit module: its hooks run at the very
// end of Py_FinalizeEx, after every atexit hook (those registered before this
// import included) and the last collection, when no Python thread can return
// to Python code any more, so every publish acknowledged anywhere is covered.
// Were Py_AtExit's table full, the C library's atexit, which the interpreter
// reaches right after finalizing, does nearly as well. The hook calls no
// Python. Registered once per process.
void register_exit_sync() {
  static const bool registered = [] {
    if (Py_AtExit(wal::sync_open_logs) != 0) std::atexit(wal::sync_open_logs);
    return true;
  }();
  (void)registered;
}

PyResult<void> run_module_body(PyObject* module) {
  for (TypeGetter type : kClassTypes) {
    if (!add_class(module, type)) return py_error();
  }
  if (!add_function(module, &init_logging_def)) return py_error();
  if (!register_exceptions(module)) return py_error();
  register_exit_sync();
  return {};
}

// The first interpreter that imported the module; -1 until one has. Set once,
// never cleared: the module's objects belong to that interpreter.
constinit std::atomic<std::int64_t> owner_interpreter{-1};
constinit ObjectCell module_cell;

PyResult<void> claim_interpreter() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return py_error();
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "qorva._qorva does not support subinterpreters: it can be imported by one interpreter per process");
    return py_error();
  }
  return {};
}

PyObject* init_module() {
  if (!claim_interpreter()) return nullptr;
  // A second import in the process (after removal from sys.modules, or a
  // reload) gets the same object; the body does not run again.
  if (PyObject* existing = module_cell.get()) return Py_NewRef(existing);
  PyResult<PyObject*> module = module_cell.get_or_init([]() -> PyResult<Ref> {
    PyResult<Ref> made = checked(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!made || !run_module_body(made->get())) return py_error();
    return made;
  });
  if (!module) return nullptr;
  return Py_NewRef(*module);
}

}  // namespace
}  // namespace qorva::python

PyMODINIT_FUNC PyInit__qorva() {
  return qorva::python::guard([] { return qorva::python::init_module(); });
}
