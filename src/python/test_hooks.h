// Internal hooks for the paths that no public call can reach on purpose:
// raising every core error through the mapping (log writer and reader
// faults, a dead flusher) and the internal failures that become
// PanicException (a broken invariant, memory exhausted inside a call).
// Everything else is tested through the public classes. Registered only when
// the environment variable QORVA_TEST_HOOKS is set to a non-empty value other
// than "0" at import; never listed in __all__ and not part of the module's API.
#pragma once

#include "object.h"

namespace qorva::python {

bool test_hooks_enabled();
PyResult<void> register_test_hooks(PyObject* module);

}  // namespace qorva::python
