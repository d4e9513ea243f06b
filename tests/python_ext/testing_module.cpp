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

#include "python/method.h"
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
  if (which == "wal_cursor_too_old") return Error(WalError::CursorTooOld{a, b});
  if (which == "wal_io") return Error(WalError(os(a)));
  if (which == "wal_writer_io") return Error(WalError(WriterError(os(a))));
  if (which == "wal_writer_nonmonotonic") return Error(WalError(WriterError::NonMonotonic{a, b}));
  if (which == "wal_reader_truncated") return Error(WalError(SegmentReadError(SegmentHeaderError::Truncated{a})));
  if (which == "wal_reader_short_read") return Error(WalError(SegmentReadError::ShortRead{a, b}));
  if (which == "wal_flusher_died") return Error(WalError::FlusherDied{});
  if (which == "wal_payload_too_large") return Error(WalError::PayloadTooLarge{a});
  if (which == "wal_records_missing") return Error(WalError::RecordsMissing{a, b});
  return std::nullopt;
}

constexpr auto kRaiseCoreError =
    Method{"raise_core_error()",
           {required("case"), optional("a", 0), optional("b", 0), optional("text", "")},
           Borrow::None,
           Lock::Held,
           [](std::string_view which, std::uint64_t a, std::uint64_t b, std::string_view text) -> PyResult<Ref> {
             std::optional<Error> error = core_error(which, a, b, std::string(text));
             if (!error) {
               PyErr_SetString(PyExc_ValueError, "unknown core error case");
               return py_error();
             }
             return py_error(std::move(*error));
           }};

// An internal failure.
constexpr auto kPanic =
    Method{"panic()", {required("text")}, Borrow::None, Lock::Held, [](std::string_view text) -> PyResult<Ref> {
             internal_failure(std::string(text));
           }};

// Memory exhausted inside a call.
constexpr auto kBadAlloc = Method{Borrow::None, Lock::Held, []() -> PyResult<Ref> { throw std::bad_alloc(); }};

// ---------------------------------------------------------------------------

PyMethodDef functions[] = {
    method_def<kRaiseCoreError, "raise_core_error", "Raise a core error through the mapping.">(),
    method_def<kPanic, "panic", "Raise an internal failure.">(),
    method_def<kBadAlloc, "bad_alloc", "Throw std::bad_alloc.">(),
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
