// The Python classes `_RustBus` (a bus with its cache of publishers) and
// `TopicPublisher` (the prepared publish handle of one topic). Each method
// forwards to one core operation; the borrow rules, the interpreter-lock
// releases and the error mapping are those of the binding layer.
#pragma once

#include <memory>

#include "bus.h"
#include "publisher.h"
#include "python/binding.h"

namespace qorva::python {

// Behind `_RustBus`: exactly one core Bus, which owns the cached publishers.
// Destroyed (with the interpreter lock held) when the last reference goes,
// tearing every cached publisher down.
struct PyBus {
  Bus bus;
};

// Behind `TopicPublisher`: the topic's only publisher in this process for as
// long as the handle lives; it holds the producer lock until destroyed.
struct PyTopicPublisher {
  std::unique_ptr<Publisher> publisher;
};

// The two type objects, made on first use and kept for the process; the
// module registers them (in this order) with add_class.
PyResult<PyTypeObject*> bus_type();
PyResult<PyTypeObject*> topic_publisher_type();

}  // namespace qorva::python
