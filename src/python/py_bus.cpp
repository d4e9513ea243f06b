#include "py_bus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logging.h"
#include "py_stats.h"
#include "py_subscription.h"

namespace qorva::python {
namespace {

// ---------------------------------------------------------------------------
// Shared pieces

// A new TopicPublisher owning `publisher`. If the object cannot be made, the
// publisher is destroyed again (releasing its producer lock) and the call
// ends in an internal failure.
Ref wrap_topic_publisher(std::unique_ptr<Publisher> publisher) {
  PyResult<PyTypeObject*> type = topic_publisher_type();
  if (!type) internal_failure_from_python("failed to make a TopicPublisher");
  return expect(make_instance(*type, PyTopicPublisher{std::move(publisher)}), "failed to make a TopicPublisher");
}

// The result of a subscribe call: the connected subscriber in a new
// Subscription, or the mapped error.
PyObject* subscription_result(Result<std::unique_ptr<Subscriber>> connected) {
  if (!connected) return raise_error(std::move(connected.error()));
  return wrap_subscription(std::move(*connected));
}

// The `timeout_secs` argument at index i (default 30 s) as a wait's duration.
template <std::size_t N>
PyResult<Duration> timeout_argument(const Args<N>& args, std::size_t i) {
  PyResult<double> secs = args.convert_or(i, to_seconds, 30.0);
  if (!secs) return py_error();
  return timeout_duration(*secs);
}

// ---------------------------------------------------------------------------
// _RustBus: construction

constexpr const char* kBusTextSignature =
    "(name, *, base_dir=None, capacity=None, slot_size=None, max_subscribers=None, backpressure=None, "
    "wal_enabled=None)";

constexpr const char* kBusDoc =
    "The low-level bus: a named group of topics under a base directory.\n\n"
    "It publishes messages and batches to topics, hands out prepared per-topic\n"
    "publish handles, waits for subscribers, cleans topics off the disk,\n"
    "subscribes and reports statistics. It is meant to sit under a pure-Python\n"
    "wrapper class (a `Bus` of the qorva package) that adds event-loop support and\n"
    "the context-manager protocol; this module does not include that wrapper.\n\n"
    "backpressure is \"error\" (the default: a publish to a full ring raises\n"
    "BusFullError) or \"drop_oldest\" (the oldest message is overwritten).\n"
    "The constructor touches no file: a topic's files appear with its publisher.";

// The value test of `backpressure`, made once every argument has converted.
PyResult<Backpressure> backpressure_from(std::optional<std::string_view> text) {
  if (!text || *text == "error") return Backpressure::Error;
  if (*text == "drop_oldest") return Backpressure::DropOldest;
  std::string message = "backpressure must be \"error\" or \"drop_oldest\", got " + quote_string(*text);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return py_error();
}

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.__new__()",
                                    {required("name"), keyword_only("base_dir"), keyword_only("capacity"),
                                     keyword_only("slot_size"), keyword_only("max_subscribers"),
                                     keyword_only("backpressure"), keyword_only("wal_enabled")}};
    auto parsed = kSig.parse(args, kwargs);
    if (!parsed) return nullptr;
    auto name = parsed->convert(0, to_str);
    if (!name) return nullptr;
    auto base_dir = parsed->convert_optional(1, to_str);
    if (!base_dir) return nullptr;
    auto capacity = parsed->convert_optional(2, to_u32);
    if (!capacity) return nullptr;
    auto slot_size = parsed->convert_optional(3, to_u32);
    if (!slot_size) return nullptr;
    auto max_subscribers = parsed->convert_optional(4, to_u32);
    if (!max_subscribers) return nullptr;
    auto backpressure_text = parsed->convert_optional(5, to_str);
    if (!backpressure_text) return nullptr;
    auto wal_enabled = parsed->convert_optional(6, to_bool);
    if (!wal_enabled) return nullptr;
    auto backpressure = backpressure_from(*backpressure_text);
    if (!backpressure) return nullptr;

    // The defaults of BusConfig are the bus's; the rest of the log settings
    // (5 ms flushes, 64 MiB segments, 1 GiB in all, periodic sync) cannot be
    // changed from Python.
    BusConfig config;
    if (*base_dir) config.base_dir = std::string(**base_dir);
    if (*capacity) config.capacity = **capacity;
    if (*slot_size) config.slot_size = **slot_size;
    if (*max_subscribers) config.max_subscribers = **max_subscribers;
    config.backpressure = *backpressure;
    config.wal = WalConfig{};
    config.wal.sync_mode = SyncMode::Periodic;
    if (*wal_enabled) config.wal.enabled = **wal_enabled;

    PyResult<Ref> obj = make_instance(type, PyBus{Bus::with_config(std::string(*name), std::move(config))});
    if (!obj) return nullptr;
    return obj->release();
  });
}

// ---------------------------------------------------------------------------
// _RustBus: the methods that work through the cache (exclusive borrow)

PyObject* bus_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.publish()", {required("topic"), required("data")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    auto data = parsed->convert(1, to_bytes);
    if (!data) return nullptr;
    // The wakeup step may block briefly; a subscriber thread of this process
    // may need the interpreter lock to drain its wakeups meanwhile.
    Result<void> done = without_gil([&] { return (*borrow)->bus.publish(*topic, *data); });
    if (!done) return raise_error(std::move(done.error()));
    return none().release();
  });
}

PyObject* bus_publish_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.publish_many()", {required("topic"), required("payloads")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    auto payloads = parsed->convert(1, to_payloads);
    if (!payloads) return nullptr;
    // The interpreter lock stays held: the batch is memory stores plus one
    // wakeup per subscriber, bounded by the batch's size.
    Result<std::uint64_t> written = (*borrow)->bus.publish_many(*topic, payloads->views());
    if (!written) return raise_error(std::move(written.error()));
    return new_u64(*written).release();
  });
}

PyObject* bus_topic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.topic()", {required("name")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto name = parsed->convert(0, to_str);
    if (!name) return nullptr;
    Result<std::unique_ptr<Publisher>> taken = (*borrow)->bus.take_publisher(*name);
    if (!taken) return raise_error(std::move(taken.error()));
    return wrap_topic_publisher(std::move(*taken)).release();
  });
}

PyObject* bus_wait_for_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.wait_for_subscribers()",
                                    {required("topic"), optional("n"), optional("timeout_secs")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    auto n = parsed->convert_or(1, to_u64, std::uint64_t{1});
    if (!n) return nullptr;
    auto timeout = timeout_argument(*parsed, 2);
    if (!timeout) return nullptr;
    Result<void> done = without_gil([&] { return (*borrow)->bus.wait_for_subscribers(*topic, *n, *timeout); });
    if (!done) return raise_error(std::move(done.error()));
    return none().release();
  });
}

PyObject* bus_clean_topic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.clean_topic()", {required("topic")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    Result<void> done = (*borrow)->bus.clean_topic(*topic);
    if (!done) return raise_error(std::move(done.error()));
    return none().release();
  });
}

// ---------------------------------------------------------------------------
// _RustBus: subscribing and inspecting (shared borrow)

PyObject* bus_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.subscribe()", {required("topic"), optional("timeout_secs")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = SharedBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    auto timeout = timeout_argument(*parsed, 1);
    if (!timeout) return nullptr;
    return subscription_result(without_gil([&] { return (*borrow)->bus.subscribe_timeout(*topic, *timeout); }));
  });
}

// subscribe_with_history and subscribe_from: a topic, a count that places the
// start, and a timeout; they differ only in the count's conversion and the
// core call.
using CountedSubscribe = Result<std::unique_ptr<Subscriber>> (Bus::*)(std::string_view, std::uint64_t,
                                                                      Duration) const;
using CountConversion = PyResult<std::uint64_t> (*)(PyObject*);

template <const Signature<3>& kSig, CountConversion kConvert, CountedSubscribe kCall>
PyObject* bus_subscribe_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = SharedBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    auto count = parsed->convert(1, kConvert);
    if (!count) return nullptr;
    auto timeout = timeout_argument(*parsed, 2);
    if (!timeout) return nullptr;
    const Bus& bus = (*borrow)->bus;
    return subscription_result(without_gil([&] { return (bus.*kCall)(*topic, *count, *timeout); }));
  });
}

constexpr Signature kSubscribeWithHistory{"_RustBus.subscribe_with_history()",
                                          {required("topic"), required("n_messages_back"), optional("timeout_secs")}};
constexpr Signature kSubscribeFrom{"_RustBus.subscribe_from()",
                                   {required("topic"), required("cursor"), optional("timeout_secs")}};

PyObject* bus_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.stats()", {required("topic")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = SharedBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    std::optional<TopicStats> stats = (*borrow)->bus.stats(*topic);
    if (!stats) return none().release();
    return wrap_topic_stats(std::move(*stats)).release();
  });
}

Ref slow_subscriber_list(const std::vector<SlotLag>& slow) {
  Ref list = expect(PyList_New(static_cast<Py_ssize_t>(slow.size())), "failed to make a list");
  for (std::size_t i = 0; i < slow.size(); ++i) {
    Ref idx = new_u64(slow[i].first);
    Ref lag = new_u64(slow[i].second);
    PyObject* pair = expect(PyTuple_Pack(2, idx.get(), lag.get()), "failed to make a tuple").release();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

PyObject* bus_slow_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"_RustBus.slow_subscribers()", {required("topic"), required("threshold")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = SharedBorrow<PyBus>::take(self);
    if (!borrow) return nullptr;
    auto topic = parsed->convert(0, to_str);
    if (!topic) return nullptr;
    auto threshold = parsed->convert(1, to_u64);
    if (!threshold) return nullptr;
    return slow_subscriber_list((*borrow)->bus.slow_subscribers(*topic, *threshold)).release();
  });
}

PyMethodDef kBusMethods[] = {
    {"publish", fastcall(bus_publish), METH_FASTCALL | METH_KEYWORDS,
     "publish($self, topic, data)\n--\n\n"
     "Publish one message (bytes) to a topic, creating the topic's publisher on\n"
     "first use.\n\n"
     "Raises BusFullError when the ring is saturated under the default \"error\"\n"
     "backpressure policy. Releases the interpreter lock: the wakeup step may block\n"
     "briefly, and holding the lock across it could deadlock against a subscriber\n"
     "thread of this process that needs the lock to drain its wakeups."},
    {"publish_many", fastcall(bus_publish_many), METH_FASTCALL | METH_KEYWORDS,
     "publish_many($self, topic, payloads)\n--\n\n"
     "Publish a sequence of bytes objects in order; return how many were written.\n\n"
     "Under the \"error\" policy the count is smaller than the number of payloads when\n"
     "the ring filled during the batch (publish the rest again later); no\n"
     "BusFullError is raised. One wakeup per connected subscriber is sent for the\n"
     "whole batch. MessageTooLargeError (a payload larger than slot_size) and\n"
     "WalError are raised only after the wakeup for the messages already written,\n"
     "so those stay visible. The payloads are read in place from their bytes\n"
     "objects, without copying, and the interpreter lock is kept: the batch is\n"
     "memory stores plus one wakeup per subscriber, so the hold is short and\n"
     "bounded by the batch size. An empty sequence writes nothing and returns 0,\n"
     "but creates the topic's publisher all the same."},
    {"topic", fastcall(bus_topic), METH_FASTCALL | METH_KEYWORDS,
     "topic($self, name)\n--\n\n"
     "Return a TopicPublisher for the topic, which owns its publisher from then on.\n\n"
     "The bus's cached publisher of the topic is handed over, or a new one is made.\n"
     "While the handle lives it holds the topic's producer lock, and publishing to\n"
     "the topic through this bus raises AlreadyPublishingError: choose one way of\n"
     "publishing per topic."},
    {"subscribe", fastcall(bus_subscribe), METH_FASTCALL | METH_KEYWORDS,
     "subscribe($self, topic, timeout_secs=30.0)\n--\n\n"
     "Subscribe to a topic from its next message on; return a Subscription.\n\n"
     "Waits up to timeout_secs for the topic's publisher (in any process) and\n"
     "raises ConnectTimeoutError when it does not appear in time. Releases the\n"
     "interpreter lock while it connects."},
    {"subscribe_with_history", fastcall(bus_subscribe_counted<kSubscribeWithHistory, to_u64, &Bus::subscribe_with_history_timeout>), METH_FASTCALL | METH_KEYWORDS,
     "subscribe_with_history($self, topic, n_messages_back, timeout_secs=30.0)\n--\n\n"
     "Subscribe starting n_messages_back messages before the newest.\n\n"
     "What the ring no longer holds comes from the topic's write-ahead log, as\n"
     "far back as the log reaches; without a log, history is limited by the\n"
     "ring's capacity. Releases the interpreter lock while it connects."},
    {"subscribe_from", fastcall(bus_subscribe_counted<kSubscribeFrom, to_cursor, &Bus::subscribe_from_timeout>), METH_FASTCALL | METH_KEYWORDS,
     "subscribe_from($self, topic, cursor, timeout_secs=30.0)\n--\n\n"
     "Subscribe starting at an explicit cursor.\n\n"
     "A cursor older than the ring holds is served from the topic's write-ahead\n"
     "log when the log still has it; otherwise CursorTooOldError is raised.\n"
     "Releases the interpreter lock while it connects."},
    {"wait_for_subscribers", fastcall(bus_wait_for_subscribers), METH_FASTCALL | METH_KEYWORDS,
     "wait_for_subscribers($self, topic, n=1, timeout_secs=30.0)\n--\n\n"
     "Block until at least n subscribers are connected to the topic's publisher,\n"
     "creating the publisher on first use.\n\n"
     "Raises ConnectTimeoutError when timeout_secs passes first. Releases the\n"
     "interpreter lock while it waits."},
    {"stats", fastcall(bus_stats), METH_FASTCALL | METH_KEYWORDS,
     "stats($self, topic)\n--\n\n"
     "Return a TopicStats snapshot of the topic's publisher, or None when this bus\n"
     "holds no publisher for the topic (none in this process, or the topic is\n"
     "published through a TopicPublisher or another bus object)."},
    {"slow_subscribers", fastcall(bus_slow_subscribers), METH_FASTCALL | METH_KEYWORDS,
     "slow_subscribers($self, topic, threshold)\n--\n\n"
     "Return (cursor_idx, lag) pairs, in slot order, of the subscribers that are at\n"
     "least threshold messages behind; empty when this bus holds no publisher for\n"
     "the topic."},
    {"clean_topic", fastcall(bus_clean_topic), METH_FASTCALL | METH_KEYWORDS,
     "clean_topic($self, topic)\n--\n\n"
     "Remove the topic's directory with everything in it, after closing this bus's\n"
     "own publisher of the topic.\n\n"
     "Raises AlreadyPublishingError while any other publisher of the topic is\n"
     "active, in this process or another. Meant for test set-up and tooling."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kBusSlots[] = {{Py_tp_methods, kBusMethods}, {0, nullptr}};

const ClassSpec kBusClass = class_spec<PyBus>("qorva._qorva._RustBus", kBusSlots, kBusDoc, kBusTextSignature, bus_new);

// ---------------------------------------------------------------------------
// TopicPublisher

PyObject* publisher_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"TopicPublisher.publish()", {required("data")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyTopicPublisher>::take(self);
    if (!borrow) return nullptr;
    auto data = parsed->convert(0, to_bytes);
    if (!data) return nullptr;
    Result<void> done = without_gil([&] { return (*borrow)->publisher->publish(*data); });
    if (!done) return raise_error(std::move(done.error()));
    return none().release();
  });
}

PyObject* publisher_publish_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"TopicPublisher.publish_many()", {required("payloads")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyTopicPublisher>::take(self);
    if (!borrow) return nullptr;
    auto payloads = parsed->convert(0, to_payloads);
    if (!payloads) return nullptr;
    Result<std::size_t> written = (*borrow)->publisher->publish_many(payloads->views());
    if (!written) return raise_error(std::move(written.error()));
    return new_u64(*written).release();
  });
}

PyObject* publisher_wait_for_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"TopicPublisher.wait_for_subscribers()", {optional("n"), optional("timeout_secs")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyTopicPublisher>::take(self);
    if (!borrow) return nullptr;
    auto n = parsed->convert_or(0, to_u64, std::uint64_t{1});
    if (!n) return nullptr;
    auto timeout = timeout_argument(*parsed, 1);
    if (!timeout) return nullptr;
    Result<void> done = without_gil([&] { return (*borrow)->publisher->wait_for_subscribers(*n, *timeout); });
    if (!done) return raise_error(std::move(done.error()));
    return none().release();
  });
}

PyObject* publisher_stats(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    auto borrow = SharedBorrow<PyTopicPublisher>::take(self);
    if (!borrow) return nullptr;
    return wrap_topic_stats((*borrow)->publisher->stats()).release();
  });
}

PyObject* publisher_enter(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    if (!check_shareable<PyTopicPublisher>(self)) return nullptr;
    return Py_NewRef(self);
  });
}

// Leaving a with block releases nothing: the handle keeps its publisher and
// producer lock until it is destroyed.
PyObject* publisher_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    static constexpr Signature kSig{"TopicPublisher.__exit__()",
                                    {optional("_exc_type"), optional("_exc_val"), optional("_exc_tb")}};
    auto parsed = kSig.parse(args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto borrow = ExclusiveBorrow<PyTopicPublisher>::take(self);
    if (!borrow) return nullptr;
    return new_bool(false).release();
  });
}

PyMethodDef kTopicPublisherMethods[] = {
    {"publish", fastcall(publisher_publish), METH_FASTCALL | METH_KEYWORDS,
     "publish($self, data)\n--\n\n"
     "Publish one message (bytes) to the handle's topic.\n\n"
     "Raises BusFullError when the ring is saturated under the \"error\"\n"
     "backpressure policy. Releases the interpreter lock."},
    {"publish_many", fastcall(publisher_publish_many), METH_FASTCALL | METH_KEYWORDS,
     "publish_many($self, payloads)\n--\n\n"
     "Publish a sequence of bytes objects in one call, with a single wakeup per\n"
     "subscriber; return the number of records written.\n\n"
     "Works like _RustBus.publish_many without the topic argument; each payload is\n"
     "read in place from its bytes object, without copying."},
    {"wait_for_subscribers", fastcall(publisher_wait_for_subscribers), METH_FASTCALL | METH_KEYWORDS,
     "wait_for_subscribers($self, n=1, timeout_secs=30.0)\n--\n\n"
     "Block until n subscribers are connected; ConnectTimeoutError when\n"
     "timeout_secs passes first. Releases the interpreter lock."},
    {"stats", noargs(publisher_stats), METH_NOARGS,
     "stats($self)\n--\n\n"
     "Return a TopicStats snapshot of the handle's topic."},
    {"__enter__", noargs(publisher_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall(publisher_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kTopicPublisherSlots[] = {{Py_tp_methods, kTopicPublisherMethods}, {0, nullptr}};

constexpr const char* kTopicPublisherDoc =
    "A prepared publish handle for one topic, made by _RustBus.topic().\n\n"
    "It owns the topic's publisher, so a publish needs no topic lookup and no\n"
    "string conversion. It holds the topic's producer lock for its whole lifetime\n"
    "and gives it up only when the handle is destroyed (garbage-collected);\n"
    "leaving a with block releases nothing.";

const ClassSpec kTopicPublisherClass =
    class_spec<PyTopicPublisher>("qorva._qorva.TopicPublisher", kTopicPublisherSlots, kTopicPublisherDoc);

}  // namespace

PyResult<PyTypeObject*> bus_type() {
  static constinit ClassCell cell;
  return cell.get(kBusClass);
}

PyResult<PyTypeObject*> topic_publisher_type() {
  static constinit ClassCell cell;
  return cell.get(kTopicPublisherClass);
}

}  // namespace qorva::python
