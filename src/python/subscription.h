// The Python class `Subscription`: one connected subscriber of one topic, with
// blocking, timed, non-blocking, caller-buffer and event-loop receives.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <memory>

namespace qorva {
class Subscriber;
}

namespace qorva::python {

// Wraps a connected subscriber in a new `Subscription` object, which owns it
// from then on. Returns a new reference, or NULL with an exception set (the
// subscriber is then torn down). Call with the interpreter lock held.
PyObject* wrap_subscription(std::unique_ptr<qorva::Subscriber> subscriber);

// Adds the class `Subscription` to `module` (creating its type object on first
// use). 0 on success, -1 with an exception set. Interpreter lock held.
int register_subscription(PyObject* module);

}  // namespace qorva::python
