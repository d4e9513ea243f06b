#include "python/object.h"

namespace qorva::python {

// 3.12 replaced the (type, value, traceback) triple by one exception object;
// both paths give the same normalised exception.
#if PY_VERSION_HEX >= 0x030C0000

Ref fetch_exception() { return Ref::steal(PyErr_GetRaisedException()); }

#else

Ref fetch_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

#endif

void internal_failure_from_python(const char* what) {
  std::string text = what;
  Ref exception = fetch_exception();
  if (exception) {
    PyObject* name = PyType_GetName(Py_TYPE(exception.get()));
    PyObject* str = PyObject_Str(exception.get());
    const char* name_text = name != nullptr ? PyUnicode_AsUTF8(name) : nullptr;
    const char* str_text = str != nullptr ? PyUnicode_AsUTF8(str) : nullptr;
    text += ": ";
    text += name_text != nullptr ? name_text : "<unknown exception>";
    if (str_text != nullptr && *str_text != '\0') {
      text += ": ";
      text += str_text;
    }
    Py_XDECREF(name);
    Py_XDECREF(str);
    PyErr_Clear();  // whatever describing it raised
  }
  internal_failure(text);
}

}  // namespace qorva::python
