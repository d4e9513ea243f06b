// The Python class `Subscription`: one connected subscriber of one topic, with
// blocking, timed, non-blocking, caller-buffer and event-loop receives.
#pragma once

#include <memory>

#include "object.h"

namespace qorva {
class Subscriber;
}

namespace qorva::python {

// Wraps a connected subscriber in a new `Subscription` object, which owns it
// from then on. Returns a new reference, or NULL with an exception set
// (PanicException when the object cannot be made; the subscriber is then torn
// down). Call with the interpreter lock held.
PyObject* wrap_subscription(std::unique_ptr<qorva::Subscriber> subscriber);

// The class's type object, made on first use and kept for the process; for
// add_class() at registration. Interpreter lock held.
PyResult<PyTypeObject*> subscription_type();

}  // namespace qorva::python
