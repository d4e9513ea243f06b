#include "test_hooks.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "binding.h"
#include "clock.h"

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
// The argument parser and the conversions.

// The given arguments as a dict, by parameter name.
template <std::size_t N>
PyObject* given_arguments(const Args<N>& parsed, const Signature<N>& sig) {
  Ref dict = expect(PyDict_New(), "failed to make a dict");
  SignatureView view = sig.view();
  for (std::size_t i = 0; i < N; ++i) {
    if (parsed.given(i) && PyDict_SetItemString(dict.get(), view.params[i].name, parsed[i]) < 0) return nullptr;
  }
  return dict.release();
}

constexpr Signature kArgsProbe{"_test_args()",
                               {required("a"), required("b"), required("c"), optional("d"), optional("e"),
                                keyword_only_required("k"), keyword_only("kw")}};
constexpr Signature kExactArgsProbe{"_test_exact_args()", {required("a")}};
constexpr Signature kKeywordOnlyProbe{"_test_keyword_only()", {keyword_only("k")}};

// Matches a call against `sig` and returns the given arguments by name.
template <const auto& sig>
PyObject* arguments_probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    auto parsed = sig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    return given_arguments(*parsed, sig);
  });
}

PyObject* str_result(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* duration_result(Duration d) {
  return Py_BuildValue("(KI)", static_cast<unsigned long long>(d.secs), static_cast<unsigned>(d.nanos));
}

PyObject* payloads_result(const PayloadList& list) {
  Ref result = expect(PyList_New(0), "failed to make a list");
  for (ByteView view : list.views()) {
    if (PyList_Append(result.get(), new_bytes(view).get()) < 0) return nullptr;
  }
  return result.release();
}

// Converts `value` as `kind` says and hands back what the conversion made.
template <class Convert, class Make>
PyObject* round_trip(const Args<2>& parsed, Convert&& convert, Make&& make) {
  auto value = parsed.convert(1, convert);
  if (!value) return nullptr;
  return make(*value);
}

// _test_convert(kind, value)
PyObject* convert_probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_test_convert()", {required("kind"), required("value")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto kind = parsed->convert(0, to_str);
    if (!kind) return nullptr;
    const Args<2>& p = *parsed;
    if (*kind == "str") return round_trip(p, to_str, str_result);
    if (*kind == "bytes") return round_trip(p, to_bytes, [](ByteView v) { return new_bytes(v).release(); });
    if (*kind == "bool") return round_trip(p, to_bool, [](bool v) { return new_bool(v).release(); });
    if (*kind == "u32") return round_trip(p, to_u32, [](std::uint32_t v) { return new_u64(v).release(); });
    if (*kind == "u64") return round_trip(p, to_u64, [](std::uint64_t v) { return new_u64(v).release(); });
    if (*kind == "seconds") return round_trip(p, to_seconds, PyFloat_FromDouble);
    if (*kind == "payloads") return round_trip(p, to_payloads, payloads_result);
    if (*kind == "timeout") {
      auto secs = p.convert(1, to_seconds);
      if (!secs) return nullptr;
      auto duration = timeout_duration(*secs);
      if (!duration) return nullptr;
      return duration_result(*duration);
    }
    PyErr_SetString(PyExc_ValueError, "unknown conversion");
    return nullptr;
  });
}

// ---------------------------------------------------------------------------
// A probe class for borrowing, construction and class facts:
// _Probe(label, *, flag=None) and the handle it makes, which has no constructor.

int live_probes = 0;  // changed under the interpreter lock only

class LiveCount {
 public:
  LiveCount() { ++live_probes; }
  LiveCount(LiveCount&&) noexcept { ++live_probes; }
  LiveCount& operator=(LiveCount&&) = delete;
  ~LiveCount() { --live_probes; }
};

struct Probe {
  std::string label;
  LiveCount live;
};

struct ProbeHandle {
  LiveCount live;
};

PyResult<PyTypeObject*> probe_handle_type();

PyObject* probe_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_Probe.__new__()", {required("label"), keyword_only("flag")}};
    auto parsed = kSig.parse(args, kwargs);
    if (!parsed) return nullptr;
    auto label = parsed->convert(0, to_str);
    if (!label) return nullptr;
    auto flag = parsed->convert_optional(1, to_bool);
    if (!flag) return nullptr;
    PyResult<Ref> made = make_instance(type, Probe{std::string(*label), {}});
    return made ? made->release() : nullptr;
  });
}

template <class Borrow>
PyObject* probe_hold(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     const Signature<1>& sig) {
  return guard([&]() -> PyObject* {
    auto parsed = sig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = Borrow::take(self);
    if (!borrow) return nullptr;
    auto secs = parsed->convert_or(0, to_seconds, 0.0);
    if (!secs) return nullptr;
    auto duration = timeout_duration(*secs);
    if (!duration) return nullptr;
    without_gil([&] { sleep_for(*duration); });
    return str_result((**borrow).label);
  });
}

// hold_exclusive(secs=0.0): an exclusive borrow kept while the lock is released.
PyObject* probe_hold_exclusive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr Signature kSig{"_Probe.hold_exclusive()", {optional("secs")}};
  return probe_hold<ExclusiveBorrow<Probe>>(self, args, nargs, kwnames, kSig);
}

// hold_shared(secs=0.0): a shared borrow kept while the lock is released.
PyObject* probe_hold_shared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static constexpr Signature kSig{"_Probe.hold_shared()", {optional("secs")}};
  return probe_hold<SharedBorrow<Probe>>(self, args, nargs, kwnames, kSig);
}

// check(): only checks that no exclusive borrow is held.
PyObject* probe_check(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    if (!check_shareable<Probe>(self)) return nullptr;
    return none().release();
  });
}

// handle(): a result object of a class without a constructor.
PyObject* probe_handle(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    auto borrow = SharedBorrow<Probe>::take(self);
    if (!borrow) return nullptr;
    PyResult<PyTypeObject*> type = probe_handle_type();
    if (!type) return nullptr;
    return expect(make_instance(*type, ProbeHandle{}), "failed to make a _ProbeHandle").release();
  });
}

PyMethodDef probe_methods[] = {
    {"hold_exclusive", fastcall(probe_hold_exclusive), METH_FASTCALL | METH_KEYWORDS,
     "hold_exclusive($self, secs=0.0)\n--\n\nBorrow exclusively, release the lock, sleep."},
    {"hold_shared", fastcall(probe_hold_shared), METH_FASTCALL | METH_KEYWORDS,
     "hold_shared($self, secs=0.0)\n--\n\nBorrow shared, release the lock, sleep."},
    {"check", noargs(probe_check), METH_NOARGS, "check($self)\n--\n\nCheck for an exclusive borrow."},
    {"handle", noargs(probe_handle), METH_NOARGS, "handle($self)\n--\n\nMake a _ProbeHandle."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot probe_slots[] = {{Py_tp_methods, probe_methods}, {0, nullptr}};
PyType_Slot probe_handle_slots[] = {{0, nullptr}};

constexpr ClassSpec kProbeClass = class_spec<Probe>("qorva._qorva._Probe", probe_slots,
                                                "A test probe of the binding layer.", "(label, *, flag=None)",
                                                probe_new);
constexpr ClassSpec kProbeHandleClass =
    class_spec<ProbeHandle>("qorva._qorva._ProbeHandle", probe_handle_slots, "A probe's handle.");

PyResult<PyTypeObject*> probe_type() {
  static constinit ClassCell cell;
  return cell.get(kProbeClass);
}

PyResult<PyTypeObject*> probe_handle_type() {
  static constinit ClassCell cell;
  return cell.get(kProbeHandleClass);
}

// _test_live_probes(): how many probe objects exist.
PyObject* live_probe_count(PyObject*, PyObject*) noexcept {
  return guard([]() -> PyObject* { return PyLong_FromLong(live_probes); });
}

// ---------------------------------------------------------------------------

PyMethodDef hook_functions[] = {
    {"_test_raise_core_error", fastcall(raise_core_error), METH_FASTCALL | METH_KEYWORDS,
     "_test_raise_core_error(case, a=0, b=0, text='')\n--\n\nRaise a core error through the mapping."},
    {"_test_panic", fastcall(panic), METH_FASTCALL | METH_KEYWORDS,
     "_test_panic(text)\n--\n\nRaise an internal failure."},
    {"_test_bad_alloc", noargs(bad_alloc), METH_NOARGS, "_test_bad_alloc()\n--\n\nThrow std::bad_alloc."},
    {"_test_args", fastcall(arguments_probe<kArgsProbe>), METH_FASTCALL | METH_KEYWORDS,
     "_test_args(a, b, c, d=None, e=None, *, k, kw=None)\n--\n\nThe given arguments by name."},
    {"_test_exact_args", fastcall(arguments_probe<kExactArgsProbe>), METH_FASTCALL | METH_KEYWORDS,
     "_test_exact_args(a)\n--\n\nThe given argument by name."},
    {"_test_keyword_only", fastcall(arguments_probe<kKeywordOnlyProbe>), METH_FASTCALL | METH_KEYWORDS,
     "_test_keyword_only(*, k=None)\n--\n\nThe given argument by name."},
    {"_test_convert", fastcall(convert_probe), METH_FASTCALL | METH_KEYWORDS,
     "_test_convert(kind, value)\n--\n\nConvert value as kind says and return the result."},
    {"_test_live_probes", noargs(live_probe_count), METH_NOARGS, "_test_live_probes()\n--\n\nLive probes."},
    {nullptr, nullptr, 0, nullptr},
};

// Sets an attribute without listing it in __all__.
PyResult<void> add_hidden(PyObject* module, const char* name, PyObject* object) {
  if (PyModule_AddObjectRef(module, name, object) < 0) return py_error();
  return {};
}

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
    if (!function || !add_hidden(module, def->ml_name, function->get())) return py_error();
  }
  PyResult<PyTypeObject*> type = probe_type();
  if (!type) return py_error();
  return add_hidden(module, "_Probe", reinterpret_cast<PyObject*>(*type));
}

}  // namespace qorva::python
