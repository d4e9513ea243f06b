#include "python/binding.h"

#include <cstring>
#include <vector>

namespace qorva::python {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyType_GetName(type);
  if (name != nullptr) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
  }
  return nullptr;
}

template <class F>
void* slot_function(F* f) {
  return reinterpret_cast<void*>(f);
}

// The module's __all__, created empty on first use.
PyResult<Ref> all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py_error();
    PyErr_Clear();
    PyResult<Ref> list = checked(PyList_New(0));
    if (!list) return py_error();
    if (PyObject_SetAttrString(module, "__all__", list->get()) < 0) return py_error();
    return list;
  }
  Ref owned = Ref::steal(all);
  if (!PyList_Check(all)) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(all));
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'", qualname);
      Py_DECREF(qualname);
    }
    return py_error();
  }
  return owned;
}

}  // namespace

std::string_view python_name(const char* qualified_name) {
  const char* dot = std::strrchr(qualified_name, '.');
  return dot != nullptr ? dot + 1 : qualified_name;
}

std::unexpected<PyErrorSet> refuse_in_forked_child(PyObject* self) {
  // The tail of tp_name, which ends the C string.
  PyErr_Format(PyExc_RuntimeError, "%s cannot be used in a forked child; create it in the child",
               python_name(Py_TYPE(self)->tp_name).data());
  return py_error();
}

PyResult<std::string> class_doc(std::string_view name, std::string_view text_signature, std::string_view doc) {
  std::string text;
  if (!text_signature.empty()) {
    text.append(name).append(text_signature).append("\n--\n\n");
  }
  text.append(doc);
  if (text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "class doc cannot contain nul bytes");
    return py_error();
  }
  return text;
}

PyResult<PyTypeObject*> ClassCell::get(const ClassSpec& spec) {
  PyResult<PyObject*> type = cell_.get_or_init([&]() -> PyResult<Ref> {
    PyResult<std::string> doc = class_doc(python_name(spec.qualified_name),
                                          spec.text_signature != nullptr ? spec.text_signature : "", spec.doc);
    if (!doc) return py_error();
    std::vector<PyType_Slot> slots;
    for (PyType_Slot* s = spec.slots; s != nullptr && s->slot != 0; ++s) slots.push_back(*s);
    slots.push_back({Py_tp_doc, doc->data()});  // copied by the interpreter
    slots.push_back(
        {Py_tp_new, spec.constructor != nullptr ? slot_function(spec.constructor) : slot_function(&no_constructor)});
    slots.push_back({Py_tp_dealloc, slot_function(spec.dealloc)});
    slots.push_back({0, nullptr});
    // No Py_TPFLAGS_BASETYPE: not subclassable; no dict or weakref offsets.
    // Immutable like a built-in type: nobody replaces a method or getter.
    PyType_Spec type_spec{spec.qualified_name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                          slots.data()};
    return checked(PyType_FromSpec(&type_spec));
  });
  if (!type) return py_error();
  return reinterpret_cast<PyTypeObject*>(*type);
}

PyResult<void> add_object(PyObject* module, const char* name, PyObject* object) {
  PyResult<Ref> all = all_list(module);
  if (!all) return py_error();
  PyResult<Ref> name_str = checked(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all->get(), name_str->get()) < 0) {
    internal_failure_from_python("could not append __name__ to __all__");
  }
  if (PyObject_SetAttrString(module, name, object) < 0) return py_error();
  return {};
}

PyResult<void> add_class(PyObject* module, TypeGetter get_type) {
  PyResult<PyTypeObject*> type = get_type();
  if (!type) return py_error();
  // tp_name is the ClassSpec's qualified name; the attribute is its last part.
  std::string name(python_name((*type)->tp_name));
  return add_object(module, name.c_str(), reinterpret_cast<PyObject*>(*type));
}

PyResult<void> add_function(PyObject* module, PyMethodDef* def) {
  PyResult<Ref> module_name = checked(PyModule_GetNameObject(module));
  if (!module_name) return py_error();
  PyResult<Ref> function = checked(PyCMethod_New(def, module, module_name->get(), nullptr));
  if (!function) return py_error();
  return add_object(module, def->ml_name, function->get());
}

}  // namespace qorva::python
