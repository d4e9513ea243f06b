// Internal hooks that let the Python tests reach the binding layer directly
// (raise any mapped core error, an internal failure, run the argument parser
// and every conversion, borrow a probe object). Registered only when the
// environment variable QORVA_TEST_HOOKS is set to a non-empty value other
// than "0" at import; never listed in __all__ and not part of the module's API.
#pragma once

#include "object.h"

namespace qorva::python {

bool test_hooks_enabled();
PyResult<void> register_test_hooks(PyObject* module);

}  // namespace qorva::python
