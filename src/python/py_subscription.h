// The Python class `Subscription`: one connected subscriber of one topic, with
// blocking, timed, non-blocking, caller-buffer and event-loop receives.
// to_python(std::unique_ptr<Subscriber>) (convert.h) wraps a connected
// subscriber in a new `Subscription`, which owns it from then on.
#pragma once

#include "python/object.h"

namespace qorva::python {

// The class's type object, made on first use and kept for the process; for
// add_class() at registration. Interpreter lock held.
PyResult<PyTypeObject*> subscription_type();

}  // namespace qorva::python
