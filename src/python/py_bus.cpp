#include "python/py_bus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "logging.h"
#include "python/method.h"

namespace qorva::python {
namespace {

// ---------------------------------------------------------------------------
// _RustBus: construction

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

PyResult<PyBus> bus_new(std::string_view name, std::optional<std::string_view> base_dir,
                        std::optional<std::uint32_t> capacity, std::optional<std::uint32_t> slot_size,
                        std::optional<std::uint32_t> max_subscribers, std::optional<std::string_view> backpressure,
                        std::optional<bool> wal_enabled) {
  PyResult<Backpressure> policy = backpressure_from(backpressure);
  if (!policy) return py_error();
  // The defaults of BusConfig are the bus's; the rest of the log settings
  // (5 ms flushes, 64 MiB segments, 1 GiB in all, periodic sync) cannot be
  // changed from Python.
  BusConfig config;
  if (base_dir) config.base_dir = std::string(*base_dir);
  if (capacity) config.capacity = *capacity;
  if (slot_size) config.slot_size = *slot_size;
  if (max_subscribers) config.max_subscribers = *max_subscribers;
  config.backpressure = *policy;
  config.wal = WalConfig{};
  config.wal.sync_mode = SyncMode::Periodic;
  if (wal_enabled) config.wal.enabled = *wal_enabled;
  return PyBus{Bus::with_config(std::string(name), std::move(config))};
}

constexpr auto kBusNew =
    Method{"_RustBus.__new__()",
           {required("name"), keyword_only("base_dir"), keyword_only("capacity"), keyword_only("slot_size"),
            keyword_only("max_subscribers"), keyword_only("backpressure"), keyword_only("wal_enabled")},
           Borrow::None,
           Lock::Held,
           bus_new};

// ---------------------------------------------------------------------------
// _RustBus: the methods that work through the cache (exclusive borrow)

// The wakeup step may block briefly; a subscriber thread of this process may
// need the interpreter lock to drain its wakeups meanwhile.
constexpr auto kBusPublish =
    Method{"_RustBus.publish()",
           {required("topic"), required("data")},
           Borrow::Exclusive,
           Lock::Released,
           [](PyBus& bus, std::string_view topic, ByteView data) { return bus.bus.publish(topic, data); }};

// The lock stays held: the batch is memory stores plus one wakeup per
// subscriber, bounded by the batch's size.
constexpr auto kBusPublishMany = Method{"_RustBus.publish_many()",
                                        {required("topic"), required("payloads")},
                                        Borrow::Exclusive,
                                        Lock::Held,
                                        [](PyBus& bus, std::string_view topic, const PayloadList& payloads) {
                                          return bus.bus.publish_many(topic, payloads.views());
                                        }};

constexpr auto kBusTopic = Method{
    "_RustBus.topic()", {required("name")}, Borrow::Exclusive, Lock::Held, [](PyBus& bus, std::string_view name) {
      return bus.bus.take_publisher(name);
    }};

constexpr auto kBusWaitForSubscribers =
    Method{"_RustBus.wait_for_subscribers()",
           {required("topic"), optional("n", 1), optional("timeout_secs", 30.0)},
           Borrow::Exclusive,
           Lock::Released,
           [](PyBus& bus, std::string_view topic, std::uint64_t n, Timeout timeout) {
             return bus.bus.wait_for_subscribers(topic, n, timeout.duration);
           }};

constexpr auto kBusCleanTopic = Method{"_RustBus.clean_topic()",
                                       {required("topic")},
                                       Borrow::Exclusive,
                                       Lock::Held,
                                       [](PyBus& bus, std::string_view topic) { return bus.bus.clean_topic(topic); }};

// ---------------------------------------------------------------------------
// _RustBus: subscribing and inspecting (shared borrow)

constexpr auto kBusSubscribe = Method{"_RustBus.subscribe()",
                                      {required("topic"), optional("timeout_secs", 30.0)},
                                      Borrow::Shared,
                                      Lock::Released,
                                      [](const PyBus& bus, std::string_view topic, Timeout timeout) {
                                        return bus.bus.subscribe_timeout(topic, timeout.duration);
                                      }};

constexpr auto kBusSubscribeWithHistory =
    Method{"_RustBus.subscribe_with_history()",
           {required("topic"), required("n_messages_back"), optional("timeout_secs", 30.0)},
           Borrow::Shared,
           Lock::Released,
           [](const PyBus& bus, std::string_view topic, std::uint64_t n_messages_back, Timeout timeout) {
             return bus.bus.subscribe_with_history_timeout(topic, n_messages_back, timeout.duration);
           }};

constexpr auto kBusSubscribeFrom =
    Method{"_RustBus.subscribe_from()",
           {required("topic"), required("cursor"), optional("timeout_secs", 30.0)},
           Borrow::Shared,
           Lock::Released,
           [](const PyBus& bus, std::string_view topic, Cursor cursor, Timeout timeout) {
             return bus.bus.subscribe_from_timeout(topic, cursor.value, timeout.duration);
           }};

constexpr auto kBusStats = Method{
    "_RustBus.stats()", {required("topic")}, Borrow::Shared, Lock::Held, [](const PyBus& bus, std::string_view topic) {
      return bus.bus.stats(topic);
    }};

constexpr auto kBusSlowSubscribers = Method{"_RustBus.slow_subscribers()",
                                            {required("topic"), required("threshold")},
                                            Borrow::Shared,
                                            Lock::Held,
                                            [](const PyBus& bus, std::string_view topic, std::uint64_t threshold) {
                                              return bus.bus.slow_subscribers(topic, threshold);
                                            }};

PyMethodDef kBusMethods[] = {
    method_def<kBusPublish, "publish",
               "Publish one message (bytes) to a topic, creating the topic's publisher on\n"
               "first use.\n\n"
               "Raises BusFullError when the ring is saturated under the default \"error\"\n"
               "backpressure policy. Releases the interpreter lock: the wakeup step may block\n"
               "briefly, and holding the lock across it could deadlock against a subscriber\n"
               "thread of this process that needs the lock to drain its wakeups.">(),
    method_def<kBusPublishMany, "publish_many",
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
               "but creates the topic's publisher all the same.">(),
    method_def<kBusTopic, "topic",
               "Return a TopicPublisher for the topic, which owns its publisher from then on.\n\n"
               "The bus's cached publisher of the topic is handed over, or a new one is made.\n"
               "While the handle lives it holds the topic's producer lock, and publishing to\n"
               "the topic through this bus raises AlreadyPublishingError: choose one way of\n"
               "publishing per topic.">(),
    method_def<kBusSubscribe, "subscribe",
               "Subscribe to a topic from its next message on; return a Subscription.\n\n"
               "Waits up to timeout_secs for the topic's publisher (in any process) and\n"
               "raises ConnectTimeoutError when it does not appear in time. Releases the\n"
               "interpreter lock while it connects.">(),
    method_def<kBusSubscribeWithHistory, "subscribe_with_history",
               "Subscribe starting n_messages_back messages before the newest.\n\n"
               "What the ring no longer holds comes from the topic's write-ahead log, as\n"
               "far back as the log reaches; without a log, history is limited by the\n"
               "ring's capacity. Releases the interpreter lock while it connects.">(),
    method_def<kBusSubscribeFrom, "subscribe_from",
               "Subscribe starting at an explicit cursor.\n\n"
               "A cursor older than the ring holds is served from the topic's write-ahead\n"
               "log when the log still has it; otherwise CursorTooOldError is raised.\n"
               "Releases the interpreter lock while it connects.">(),
    method_def<kBusWaitForSubscribers, "wait_for_subscribers",
               "Block until at least n subscribers are connected to the topic's publisher,\n"
               "creating the publisher on first use.\n\n"
               "Raises ConnectTimeoutError when timeout_secs passes first. Releases the\n"
               "interpreter lock while it waits.">(),
    method_def<kBusStats, "stats",
               "Return a TopicStats snapshot of the topic's publisher, or None when this bus\n"
               "holds no publisher for the topic (none in this process, or the topic is\n"
               "published through a TopicPublisher or another bus object).">(),
    method_def<kBusSlowSubscribers, "slow_subscribers",
               "Return (cursor_idx, lag) pairs, in slot order, of the subscribers that are at\n"
               "least threshold messages behind; empty when this bus holds no publisher for\n"
               "the topic.">(),
    method_def<kBusCleanTopic, "clean_topic",
               "Remove the topic's directory with everything in it, after closing this bus's\n"
               "own publisher of the topic.\n\n"
               "Raises AlreadyPublishingError while any other publisher of the topic is\n"
               "active, in this process or another. Meant for test set-up and tooling.">(),
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kBusSlots[] = {{Py_tp_methods, kBusMethods}, {0, nullptr}};

const ClassSpec kBusClass = class_spec<PyBus, kBusNew>("qorva._qorva._RustBus", kBusSlots, kBusDoc);

// ---------------------------------------------------------------------------
// TopicPublisher

// The publish releases the lock for its wakeup step, as _RustBus.publish does.
constexpr auto kPublisherPublish =
    Method{"TopicPublisher.publish()",
           {required("data")},
           Borrow::Exclusive,
           Lock::Released,
           [](PyTopicPublisher& handle, ByteView data) { return handle.publisher->publish(data); }};

constexpr auto kPublisherPublishMany = Method{"TopicPublisher.publish_many()",
                                              {required("payloads")},
                                              Borrow::Exclusive,
                                              Lock::Held,
                                              [](PyTopicPublisher& handle, const PayloadList& payloads) {
                                                return handle.publisher->publish_many(payloads.views());
                                              }};

constexpr auto kPublisherWaitForSubscribers =
    Method{"TopicPublisher.wait_for_subscribers()",
           {optional("n", 1), optional("timeout_secs", 30.0)},
           Borrow::Exclusive,
           Lock::Released,
           [](PyTopicPublisher& handle, std::uint64_t n, Timeout timeout) {
             return handle.publisher->wait_for_subscribers(n, timeout.duration);
           }};

constexpr auto kPublisherStats =
    Method{Borrow::Shared, Lock::Held, [](const PyTopicPublisher& handle) { return handle.publisher->stats(); }};

// Leaving a with block releases nothing: the handle keeps its publisher and
// producer lock until it is destroyed.
constexpr auto kPublisherExit = context_exit<PyTopicPublisher>("TopicPublisher.__exit__()");

PyMethodDef kTopicPublisherMethods[] = {
    method_def<kPublisherPublish, "publish",
               "Publish one message (bytes) to the handle's topic.\n\n"
               "Raises BusFullError when the ring is saturated under the \"error\"\n"
               "backpressure policy. Releases the interpreter lock.">(),
    method_def<kPublisherPublishMany, "publish_many",
               "Publish a sequence of bytes objects in one call, with a single wakeup per\n"
               "subscriber; return the number of records written.\n\n"
               "Works like _RustBus.publish_many without the topic argument; each payload is\n"
               "read in place from its bytes object, without copying.">(),
    method_def<kPublisherWaitForSubscribers, "wait_for_subscribers",
               "Block until n subscribers are connected; ConnectTimeoutError when\n"
               "timeout_secs passes first. Releases the interpreter lock.">(),
    method_def<kPublisherStats, "stats", "Return a TopicStats snapshot of the handle's topic.">(),
    enter_method<PyTopicPublisher>(),
    exit_method<kPublisherExit>(),
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

PyResult<PyTypeObject*> bus_type() { return class_type<kBusClass>(); }

PyResult<PyTypeObject*> topic_publisher_type() { return class_type<kTopicPublisherClass>(); }

// If the object cannot be made, the publisher is destroyed again (releasing
// its producer lock) and the call ends in an internal failure.
Ref to_python(std::unique_ptr<Publisher> publisher) {
  PyResult<PyTypeObject*> type = topic_publisher_type();
  if (!type) internal_failure_from_python("failed to make a TopicPublisher");
  return expect(make_instance(*type, PyTopicPublisher{std::move(publisher)}), "failed to make a TopicPublisher");
}

}  // namespace qorva::python
