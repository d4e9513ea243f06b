// qorva._qorva_testing: a test-only extension module that the test builds
// place beside qorva._qorva and that is never installed. It reaches the paths
// no public call can reach on purpose: raising every core error through the
// mapping (log writer and reader faults, a dead flusher) and the internal
// failures that become PanicException (a broken invariant, memory exhausted
// inside a call). Everything else is tested through the public classes.
//
// It links the module's binding layer, so its errors go through the very
// mapping the module uses, and the exception classes it raises are the
// module's own: the binding layer makes each once per interpreter.
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "python/binding.h"
#include "subscriber.h"
#include "sys.h"
#include "waker.h"

namespace qorva::python {
namespace {

using wal::SegmentHeaderError;
using wal::SegmentReadError;
using wal::WalError;
using wal::WriterError;

// ---------------------------------------------------------------------------
// Core errors by name, for the mapping's table test.

std::optional<Error> core_error(std::string_view which, std::uint64_t a, std::uint64_t b, std::string text) {
  auto os = [](std::uint64_t err) { return IoError::from_errno(static_cast<int>(err)); };
  if (which == "io_os") return Error(os(a));
  if (which == "io_disconnected") return Error(publisher_disconnected());
  if (which == "io_restarted") return Error(publisher_restarted());
  if (which == "io_scm_rights") return Error(expected_scm_rights_error());
  if (which == "io_nul_path") return Error(nul_in_path_error());
  if (which == "bus_full") return Error(Error::BusFull{});
  if (which == "message_too_large") return Error(Error::MessageTooLarge{a, b});
  if (which == "connect_timeout") return Error(Error::ConnectTimeout::for_topic(text));
  if (which == "too_many_subscribers") return Error(Error::TooManySubscribers{static_cast<std::uint32_t>(a)});
  if (which == "already_publishing") return Error(Error::AlreadyPublishing{std::move(text)});
  if (which == "cursor_too_old") return Error(Error::CursorTooOld{a, b});
  if (which == "wal_cursor_too_old") return Error(WalError{WalError::CursorTooOld{a, b}});
  if (which == "wal_io") return Error(WalError{WalError::Io{os(a)}});
  if (which == "wal_writer_io") return Error(WalError{WalError::Writer{{WriterError::Io{os(a)}}}});
  if (which == "wal_writer_nonmonotonic") return Error(WalError{WalError::Writer{{WriterError::NonMonotonic{a, b}}}});
  if (which == "wal_reader_truncated") {
    return Error(WalError{WalError::Reader{{SegmentReadError::Header{{SegmentHeaderError::Truncated{a}}}}}});
  }
  if (which == "wal_reader_short_read") return Error(WalError{WalError::Reader{{SegmentReadError::ShortRead{a, b}}}});
  if (which == "wal_flusher_died") return Error(WalError{WalError::FlusherDied{}});
  if (which == "wal_payload_too_large") return Error(WalError{WalError::PayloadTooLarge{a}});
  return std::nullopt;
}

// raise_core_error(case, a=0, b=0, text="")
PyObject* raise_core_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"raise_core_error()",
                                    {required("case"), optional("a"), optional("b"), optional("text")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto which = parsed->convert(0, to_str);
    if (!which) return nullptr;
    auto a = parsed->convert_or(1, to_u64, std::uint64_t{0});
    if (!a) return nullptr;
    auto b = parsed->convert_or(2, to_u64, std::uint64_t{0});
    if (!b) return nullptr;
    auto text = parsed->convert_or(3, to_str, std::string_view());
    if (!text) return nullptr;
    std::optional<Error> error = core_error(*which, *a, *b, std::string(*text));
    if (!error) {
      PyErr_SetString(PyExc_ValueError, "unknown core error case");
      return nullptr;
    }
    return raise_error(std::move(*error));
  });
}

// panic(text): an internal failure.
PyObject* panic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"panic()", {required("text")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto text = parsed->convert(0, to_str);
    if (!text) return nullptr;
    internal_failure(std::string(*text));
  });
}

// bad_alloc(): memory exhausted inside a call.
PyObject* bad_alloc(PyObject*, PyObject*) noexcept {
  return guard([]() -> PyObject* { throw std::bad_alloc(); });
}

// ---------------------------------------------------------------------------

PyMethodDef functions[] = {
    {"raise_core_error", fastcall(raise_core_error), METH_FASTCALL | METH_KEYWORDS,
     "raise_core_error(case, a=0, b=0, text='')\n--\n\nRaise a core error through the mapping."},
    {"panic", fastcall(panic), METH_FASTCALL | METH_KEYWORDS, "panic(text)\n--\n\nRaise an internal failure."},
    {"bad_alloc", noargs(bad_alloc), METH_NOARGS, "bad_alloc()\n--\n\nThrow std::bad_alloc."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_qorva_testing",
    "Test-only hooks into qorva's binding layer; never installed.",
    0,  // no per-module state
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qorva::python

PyMODINIT_FUNC PyInit__qorva_testing() {
  return qorva::python::guard([] { return PyModule_Create(&qorva::python::module_def); });
}
