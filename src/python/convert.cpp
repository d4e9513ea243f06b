#include "python/convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ring.h"

namespace qorva::python {
namespace {

template <class T>
PyResult<T> not_convertible(PyObject* obj, const char* target) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
  if (qualname != nullptr) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname, target);
    Py_DECREF(qualname);
  }
  return py_error();
}

// numpy's bool scalar type: "numpy.bool_" (numpy 1) or "numpy.bool" (numpy 2).
bool is_numpy_bool(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  bool numpy = module && name && PyUnicode_Check(module.get()) &&
               PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
               (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  if (!module || !name) PyErr_Clear();
  return numpy;
}

PyResult<Ref> as_index(PyObject* obj) { return checked(PyNumber_Index(obj)); }

}  // namespace

PyResult<std::string_view> to_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return not_convertible<std::string_view>(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return py_error();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyResult<ByteView> to_bytes(PyObject* obj) {
  if (!PyBytes_Check(obj)) return not_convertible<ByteView>(obj, "PyBytes");
  return ByteView(reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(obj)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

PyResult<bool> to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (!is_numpy_bool(obj)) return not_convertible<bool>(obj, "PyBool");
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", qualname);
      Py_DECREF(qualname);
    }
    return py_error();
  }
  int truth = number->nb_bool(obj);
  if (truth < 0) return py_error();
  return truth == 1;
}

PyResult<std::uint32_t> to_u32(PyObject* obj) {
  PyResult<Ref> index = as_index(obj);
  if (!index) return py_error();
  long value = PyLong_AsLong(index->get());
  if (value == -1 && PyErr_Occurred()) return py_error();
  if (value < 0 || value > static_cast<long>(UINT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError, out_of_range_error().text().c_str());
    return py_error();
  }
  return static_cast<std::uint32_t>(value);
}

PyResult<std::uint64_t> to_u64(PyObject* obj) {
  PyResult<Ref> index = as_index(obj);
  if (!index) return py_error();
  unsigned long long value = PyLong_AsUnsignedLongLong(index->get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py_error();
  return static_cast<std::uint64_t>(value);
}

PyResult<Cursor> to_cursor(PyObject* obj) {
  PyResult<std::uint64_t> value = to_u64(obj);
  if (!value) return py_error();
  if (*value == UINT64_MAX) {
    PyErr_SetString(PyExc_OverflowError, out_of_range_error().text().c_str());
    return py_error();
  }
  return Cursor{*value};
}

PyResult<double> to_seconds(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return py_error();
  return value;
}

PyResult<Timeout> timeout_from_secs(double secs) {
  if (std::isnan(secs) || secs < 0.0) {
    PyErr_SetString(PyExc_ValueError, "timeout_secs must be a non-negative number");
    return py_error();
  }
  std::optional<Duration> duration = duration_from_secs(secs);  // empty for +inf and 2^64 s or more
  if (!duration) return Timeout{Duration::max(), false};
  return Timeout{*duration};
}

PyResult<Timeout> to_timeout(PyObject* obj) {
  PyResult<double> secs = to_seconds(obj);
  if (!secs) return py_error();
  return timeout_from_secs(*secs);
}

PyResult<DeferredTimeout> to_deferred_timeout(PyObject* obj) {
  PyResult<double> secs = to_seconds(obj);
  if (!secs) return py_error();
  return DeferredTimeout{*secs};
}

PyResult<PayloadList> to_payloads(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return py_error();
  }
  if (!PySequence_Check(obj)) return not_convertible<PayloadList>(obj, "Sequence");
  PayloadList list;
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) PyErr_Clear();
  // Only a hint: a sequence may claim any length, so a huge one must not allocate up front.
  auto reserve = static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, 4096));
  list.items_.reserve(reserve);
  list.views_.reserve(reserve);
  PyResult<Ref> iter = checked(PyObject_GetIter(obj));
  if (!iter) return py_error();
  while (PyObject* next = PyIter_Next(iter->get())) {
    Ref item = Ref::steal(next);
    PyResult<ByteView> view = to_bytes(item.get());
    if (!view) return py_error();
    list.views_.push_back(*view);
    list.items_.push_back(std::move(item));
  }
  if (PyErr_Occurred()) return py_error();
  return list;
}

Ref none() { return Ref::borrow(Py_None); }

Ref to_python(Ref object) { return object; }

Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref to_python(std::uint64_t value) { return expect(PyLong_FromUnsignedLongLong(value), "failed to make an int"); }

Ref to_python(int value) { return expect(PyLong_FromLong(value), "failed to make an int"); }

Ref to_python(ByteView data) {
  PyObject* bytes =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
  if (bytes == nullptr) internal_failure("PyBytes allocation cannot fail for a slice we already hold");
  return Ref::steal(bytes);
}

Ref to_python(std::vector<std::byte> data) { return to_python(ByteView(data)); }

Ref to_python(std::vector<SlotLag> lags) {
  Ref list = expect(PyList_New(static_cast<Py_ssize_t>(lags.size())), "failed to make a list");
  for (std::size_t i = 0; i < lags.size(); ++i) {
    Ref idx = to_python(lags[i].first);
    Ref lag = to_python(lags[i].second);
    PyObject* pair = expect(PyTuple_Pack(2, idx.get(), lag.get()), "failed to make a tuple").release();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

Ref expect(PyObject* made, const char* what) {
  if (made == nullptr) internal_failure_from_python(what);
  return Ref::steal(made);
}

Ref expect(PyResult<Ref> made, const char* what) {
  if (!made) internal_failure_from_python(what);
  return std::move(*made);
}

}  // namespace qorva::python
