#include "test_hooks.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "binding.h"

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
  auto eof = [](const char* fixed) { return IoError::fixed(IoKind::UnexpectedEof, fixed); };
  if (which == "io_os") return Error(os(a));
  if (which == "io_disconnected") return Error(eof(io_text::kPublisherDisconnected));
  if (which == "io_restarted") return Error(eof(io_text::kPublisherRestarted));
  if (which == "io_scm_rights") return Error(IoError::fixed(IoKind::InvalidData, io_text::kExpectedScmRights));
  if (which == "io_nul_path") return Error(IoError::fixed(IoKind::InvalidInput, io_text::kNulInPath));
  if (which == "bus_full") return Error(Error::BusFull{});
  if (which == "message_too_large") return Error(Error::MessageTooLarge{a, b});
  if (which == "connect_timeout") return Error(Error::ConnectTimeout{std::move(text)});
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

// _test_raise_core_error(case, a=0, b=0, text="")
PyObject* raise_core_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_test_raise_core_error()",
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

// _test_panic(text): an internal failure.
PyObject* panic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_test_panic()", {required("text")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto text = parsed->convert(0, to_str);
    if (!text) return nullptr;
    internal_failure(std::string(*text));
  });
}

// _test_bad_alloc(): memory exhausted inside a call.
PyObject* bad_alloc(PyObject*, PyObject*) noexcept {
  return guard([]() -> PyObject* { throw std::bad_alloc(); });
}

// ---------------------------------------------------------------------------

PyMethodDef hook_functions[] = {
    {"_test_raise_core_error", fastcall(raise_core_error), METH_FASTCALL | METH_KEYWORDS,
     "_test_raise_core_error(case, a=0, b=0, text='')\n--\n\nRaise a core error through the mapping."},
    {"_test_panic", fastcall(panic), METH_FASTCALL | METH_KEYWORDS,
     "_test_panic(text)\n--\n\nRaise an internal failure."},
    {"_test_bad_alloc", noargs(bad_alloc), METH_NOARGS, "_test_bad_alloc()\n--\n\nThrow std::bad_alloc."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool test_hooks_enabled() {
  const char* value = std::getenv("QORVA_TEST_HOOKS");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

PyResult<void> register_test_hooks(PyObject* module) {
  PyResult<Ref> module_name = checked(PyModule_GetNameObject(module));
  if (!module_name) return py_error();
  for (PyMethodDef* def = hook_functions; def->ml_name != nullptr; ++def) {
    PyResult<Ref> function = checked(PyCMethod_New(def, module, module_name->get(), nullptr));
    // Set as attributes only: never listed in __all__.
    if (!function || PyModule_AddObjectRef(module, def->ml_name, function->get()) < 0) return py_error();
  }
  return {};
}

}  // namespace qorva::python
