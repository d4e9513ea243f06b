#include "python/args.h"

#include <optional>
#include <string>
#include <vector>

namespace qorva::python {
namespace {

PyResult<void> type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return py_error();
}

PyResult<void> too_many_positional(const SignatureView& sig, Py_ssize_t given) {
  std::string text = sig.callable;
  if (sig.required_positional != sig.positional) {
    text += " takes from " + std::to_string(sig.required_positional) + " to " + std::to_string(sig.positional);
  } else {
    text += " takes " + std::to_string(sig.positional);
  }
  // Never singularised ("takes 1 positional arguments"): callers match this text as it is.
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return type_error(text);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

PyResult<void> missing(const SignatureView& sig, const std::vector<const char*>& names) {
  return type_error(std::string(sig.callable) + " missing " + std::to_string(names.size()) + " required positional" +
                    (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
}

PyResult<void> unexpected_keyword(const SignatureView& sig, PyObject* name) {
  PyObject* text = PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", sig.callable, name);
  if (text != nullptr) {
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
  }
  return py_error();
}

// The parameter a keyword names; keyword-only parameters are looked at first.
std::optional<std::size_t> find_keyword(const SignatureView& sig, PyObject* name) {
  if (!PyUnicode_Check(name)) return std::nullopt;
  auto matches = [&](std::size_t i) { return PyUnicode_CompareWithASCIIString(name, sig.params[i].name) == 0; };
  for (std::size_t i = sig.positional; i < sig.count; ++i) {
    if (matches(i)) return i;
  }
  for (std::size_t i = 0; i < sig.positional; ++i) {
    if (matches(i)) return i;
  }
  return std::nullopt;
}

PyResult<void> place_keyword(const SignatureView& sig, PyObject* name, PyObject* value, PyObject** out) {
  std::optional<std::size_t> i = find_keyword(sig, name);
  if (!i) return unexpected_keyword(sig, name);
  if (out[*i] != nullptr) {
    return type_error(std::string(sig.callable) + " got multiple values for argument '" + sig.params[*i].name + "'");
  }
  out[*i] = value;
  return {};
}

PyResult<void> place_positional(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
  if (static_cast<std::size_t>(nargs) > sig.positional) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return {};
}

PyResult<void> check_required(const SignatureView& sig, PyObject** out) {
  std::vector<const char*> absent;
  for (std::size_t i = 0; i < sig.required_positional; ++i) {
    if (out[i] == nullptr) absent.push_back(sig.params[i].name);
  }
  if (!absent.empty()) return missing(sig, absent);
  return {};
}

}  // namespace

PyResult<void> match_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!place_positional(sig, args, nargs, out)) return py_error();
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return py_error();
  }
  return check_required(sig, out);
}

PyResult<void> match_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  if (!place_positional(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), out)) return py_error();
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, out)) return py_error();
    }
  }
  return check_required(sig, out);
}

void prefix_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref cause = fetch_exception();
  // On a failure below the interpreter's error of building the replacement stays set.
  PyResult<Ref> text = checked(PyObject_Str(cause.get()));
  if (!text) return;
  PyResult<Ref> message = checked(PyUnicode_FromFormat("argument '%s': %U", param, text->get()));
  if (!message) return;
  PyResult<Ref> replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message->get()));
  if (!replacement) return;
  PyException_SetCause(replacement->get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, replacement->get());
}

}  // namespace qorva::python
