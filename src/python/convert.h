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
#include <span>
#include <string_view>
#include <vector>

#include "clock.h"
#include "object.h"

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
PyResult<std::uint64_t> to_cursor(PyObject* obj);

// A float, or anything the interpreter converts to one (int, bool, objects
// with __float__ or __index__); None and str raise its TypeError.
PyResult<double> to_seconds(PyObject* obj);

// Seconds to a wait's duration, to the nearest nanosecond (ties to even).
// Negative or NaN: ValueError "timeout_secs must be a non-negative number"
// (-0.0 is zero). +inf and values beyond the farthest deadline clamp to
// kMaxDuration, so a wait's end never wraps.
PyResult<Duration> timeout_duration(double secs);

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

// Results.
Ref none();
Ref new_bool(bool value);
Ref new_u64(std::uint64_t value);
// A copy of the bytes.
Ref new_bytes(ByteView data);
// An object a C API call made (a new reference), or an internal failure
// "<what>: <the interpreter's error>" when it returned null.
Ref expect(PyObject* made, const char* what);
Ref expect(PyResult<Ref> made, const char* what);

}  // namespace qorva::python
