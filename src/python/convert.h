// Conversions between Python objects and the values the core takes and
// gives. All of them run with the interpreter lock held.
//
// From Python, each returns the value or raises with the interpreter's error
// set; a TypeError of a conversion reads "'<type qualname>' object cannot be
// converted to '<target>'" (Args::convert prefixes the parameter's name).
// To Python, each returns a new reference; an object that cannot be made is
// an internal failure (PanicException).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "clock.h"
#include "publisher.h"
#include "python/object.h"
#include "subscriber.h"

namespace qorva::python {

using ByteView = std::span<const std::byte>;

// A str (or subclass) as UTF-8, read in place: valid while the object lives,
// also without the interpreter lock. A lone surrogate raises the
// interpreter's UnicodeEncodeError. Target 'PyString'.
PyResult<std::string_view> to_str(PyObject* obj);

// A bytes object's (or subclass's) own buffer, never copied: valid while the
// object lives. bytearray, memoryview and str are refused. Target 'PyBytes'.
PyResult<ByteView> to_bytes(PyObject* obj);

// True or False only (and numpy's bool scalar, through its truth value).
// Target 'PyBool'.
PyResult<bool> to_bool(PyObject* obj);

// An integer through the index protocol (a float is refused). A value beyond
// a C long raises the interpreter's OverflowError; one outside 0..2^32-1
// OverflowError "out of range integral type conversion attempted".
PyResult<std::uint32_t> to_u32(PyObject* obj);

// An integer through the index protocol, 0..2^64-1; the interpreter's own
// OverflowError outside it.
PyResult<std::uint64_t> to_u64(PyObject* obj);

// A start cursor: as to_u64, but 2^64-1, which marks a free cursor slot,
// raises OverflowError "out of range integral type conversion attempted".
struct Cursor {
  std::uint64_t value;
};
PyResult<Cursor> to_cursor(PyObject* obj);

// A float, or anything the interpreter converts to one (int, bool, objects
// with __float__ or __index__); None and str raise its TypeError.
PyResult<double> to_seconds(PyObject* obj);

// A `timeout_secs` argument: how long a wait may last.
struct Timeout {
  // Duration::max() without a limit; a deadline taken from any length
  // saturates, so a wait's end never wraps.
  Duration duration;
  bool limited = true;

  // The end of a wait that starts now: Deadline::never() without a limit.
  Deadline deadline() const { return limited ? Deadline::after(duration) : Deadline::never(); }
};

// Seconds to a wait's duration, to the nearest nanosecond (ties to even).
// Negative or NaN: ValueError "timeout_secs must be a non-negative number"
// (-0.0 is zero). +inf and values of 2^64 seconds or more set no limit.
PyResult<Timeout> timeout_from_secs(double secs);

// to_seconds, then timeout_from_secs.
PyResult<Timeout> to_timeout(PyObject* obj);

// A `timeout_secs` argument that a receive checks only once it is about to
// wait: one that returns first (a batch of none, a buffer without a slot)
// accepts any number of seconds.
struct DeferredTimeout {
  double secs;
  PyResult<Timeout> check() const { return timeout_from_secs(secs); }
};
PyResult<DeferredTimeout> to_deferred_timeout(PyObject* obj);  // to_seconds

// The payloads of a batch: a reference to each bytes item, kept until the
// list is destroyed (with the interpreter lock held), and a view of each
// item's buffer, in sequence order. No payload is copied.
class PayloadList {
 public:
  std::span<const ByteView> views() const { return views_; }
  std::size_t size() const { return views_.size(); }

 private:
  friend PyResult<PayloadList> to_payloads(PyObject* obj);
  std::vector<Ref> items_;
  std::vector<ByteView> views_;
};

// A sequence (not a str) of bytes items, taken by iteration. A str raises
// "Can't extract `str` to `Vec`", a non-sequence targets 'Sequence', an item
// that is not bytes targets 'PyBytes'; an error of the iteration passes.
PyResult<PayloadList> to_payloads(PyObject* obj);

// Results: the object of each value a method may return. A value of any
// other type does not convert, rather than silently becoming an int or a bool.
template <class T>
Ref to_python(T) = delete;
Ref none();
Ref to_python(Ref object);  // as it is
Ref to_python(bool value);
Ref to_python(std::uint64_t value);  // std::size_t too
Ref to_python(int value);            // a descriptor
Ref to_python(ByteView data);        // a copy of the bytes
Ref to_python(std::vector<std::byte> data);
Ref to_python(std::vector<SlotLag> lags);  // a list of (cursor_idx, lag) tuples
// Objects of the module's classes, each made in its class's own file.
Ref to_python(std::unique_ptr<Publisher> publisher);    // a TopicPublisher (py_bus.cpp)
Ref to_python(std::unique_ptr<Subscriber> subscriber);  // a Subscription (py_subscription.cpp)
Ref to_python(TopicStats stats);                        // a TopicStats (py_stats.cpp)
// None when empty.
template <class T>
Ref to_python(std::optional<T> value) {
  return value ? to_python(std::move(*value)) : none();
}

// An object a C API call made (a new reference), or an internal failure
// "<what>: <the interpreter's error>" when it returned null.
Ref expect(PyObject* made, const char* what);
Ref expect(PyResult<Ref> made, const char* what);

}  // namespace qorva::python
