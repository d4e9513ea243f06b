// The Python class `Subscription`. Receives that return bytes go through the
// object's reusable recv_buf; receives into caller buffers write straight
// into the buffer with the interpreter lock held and release it only while
// they wait or read the log, so other threads never see a half-written
// message.

#include "python/py_subscription.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "python/method.h"
#include "subscriber.h"

namespace qorva::python {
namespace {

// The object's state: the subscriber it owns and the buffer its bytes
// receives reuse. Declared in the reverse of teardown order: the subscriber
// goes first (its cursor slot is released at once), then the receive buffer.
struct PySubscription {
  std::vector<std::byte> recv_buf;
  std::unique_ptr<Subscriber> subscriber;

  explicit PySubscription(std::unique_ptr<Subscriber> owned) : subscriber(std::move(owned)) {}

  // The message the last receive into recv_buf left there.
  ByteView message() const { return ByteView(recv_buf.data(), recv_buf.size()); }
};

template <class T>
PyResult<T> value_error(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return py_error();
}

// ---------------------------------------------------------------------------
// Caller buffers

// Single unsigned bytes: item size 1 and format "B" or "c", bare or after a
// native, native-standard or big-endian prefix; no format counts as "B".
bool holds_u8(const Py_buffer& view) {
  if (view.itemsize != 1) return false;
  if (view.format == nullptr) return true;
  std::string_view format(view.format);
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == '>')) format.remove_prefix(1);
  return format == "B" || format == "c";
}

// A writable, C-contiguous byte view of a caller's object, held for one call
// and released with the interpreter lock held on every path, but for a thread
// the interpreter ended, which leaves it held.
class WritableView {
 public:
  // Requests the view with full information but without asking for write
  // access, so that read-only objects get this module's own error.
  static PyResult<WritableView> acquire(PyObject* obj) {
    WritableView v;
    if (PyObject_GetBuffer(obj, &v.view_, PyBUF_FULL_RO) < 0) return py_error();
    v.held_ = true;
    if (const char* problem = v.problem()) {
      PyErr_SetString(problem == kReadOnly || problem == kNotContiguous ? PyExc_TypeError : PyExc_BufferError, problem);
      return py_error();  // v releases the view
    }
    return v;
  }

  WritableView(WritableView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  WritableView& operator=(WritableView&&) = delete;
  ~WritableView() {
    if (held_ && !abandoned_by_interpreter()) PyBuffer_Release(&view_);
  }

  std::span<std::byte> bytes() const {
    return {static_cast<std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  void release() {
    if (std::exchange(held_, false)) PyBuffer_Release(&view_);
  }

 private:
  static constexpr const char* kReadOnly = "recv_into requires a writable buffer (got read-only)";
  static constexpr const char* kNotContiguous = "recv_into requires a C-contiguous buffer";

  WritableView() = default;

  const char* problem() {
    if (view_.shape == nullptr) return "shape is null";
    if (view_.strides == nullptr) return "strides is null";
    if (!holds_u8(view_)) return "buffer contents are not compatible with u8";
    if (view_.readonly) return kReadOnly;
    if (!PyBuffer_IsContiguous(&view_, 'C')) return kNotContiguous;
    return nullptr;
  }

  Py_buffer view_{};
  bool held_ = false;
};

// Runs a receive's steps that may block, its waits and its reads of the log,
// with the interpreter lock released. A message already in the ring is
// copied with the lock held: a ring read makes no system call, and releasing
// and retaking the lock would cost more than the copy. So every write into a
// caller's buffer happens with the lock held.
class ReleasingTheLock final : public Subscriber::BlockingSteps {
 public:
  void run(FunctionRef<void()> step) override { without_gil(step); }
};

ReleasingTheLock releasing_the_lock;

Subscriber::Received receive(PySubscription& s, Subscriber::Sink sink, const Deadline& deadline) {
  return s.subscriber->receive(sink, deadline, releasing_the_lock);
}

// The outcome as a method's result, mapped once the view has been released.
PyResult<std::optional<std::size_t>> slice_result(WritableView& view, Subscriber::Received outcome) {
  view.release();
  if (!outcome) return py_error(std::move(outcome.error()));
  return *outcome;
}

// ---------------------------------------------------------------------------
// Receiving bytes

// recv($self): the next message, waiting for it as long as it takes.
Result<ByteView> receive_blocking(PySubscription& s) {
  Subscriber::Received got = receive(s, Subscriber::Sink::growing(s.recv_buf), Deadline::never());
  if (!got) return std::unexpected(std::move(got.error()));
  return s.message();
}

// As receive_blocking, with a timeout: false when nothing came in time.
Result<bool> receive_blocking_timeout(PySubscription& s, const Timeout& timeout) {
  Subscriber::Received got = receive(s, Subscriber::Sink::growing(s.recv_buf), timeout.deadline());
  if (!got) return std::unexpected(std::move(got.error()));
  return got->has_value();
}

// The message in recv_buf when `got` says a receive put one there.
inline Result<std::optional<ByteView>> message_if(const PySubscription& s, Result<bool> got) {
  if (!got) [[unlikely]]
    return std::unexpected(std::move(got.error()));
  if (!*got) return std::nullopt;
  return s.message();
}

constexpr auto kRecv = Method{Borrow::Exclusive, Lock::ReleasedToWait, receive_blocking};

constexpr auto kRecvTimeout =
    Method{"Subscription.recv_timeout()",
           {optional("timeout_secs", 1.0)},
           Borrow::Exclusive,
           Lock::ReleasedToWait,
           [](PySubscription& s, Timeout timeout) { return message_if(s, receive_blocking_timeout(s, timeout)); }};

// The lock is held throughout; raises what catching up from the log could not
// deliver, and once a restarted publisher has ended the subscription.
constexpr auto kTryRecv = Method{Borrow::Exclusive, Lock::Held, [](PySubscription& s) {
                                   return message_if(s, s.subscriber->try_receive(s.recv_buf));
                                 }};

// recv_batch($self, n, timeout_secs=1.0): the lock is released only while the
// receive of the first message waits or reads the log; the rest are taken
// without waiting.
PyResult<Ref> recv_batch(PySubscription& s, std::uint64_t n, DeferredTimeout timeout_secs) {
  // Never sized up front: n may be 2^64 - 1.
  Ref list = expect(PyList_New(0), "failed to make a list");
  if (n == 0) return list;
  PyResult<Timeout> timeout = timeout_secs.check();
  if (!timeout) return py_error();
  Result<bool> first = receive_blocking_timeout(s, *timeout);
  if (!first) return py_error(std::move(first.error()));
  if (!*first) return list;
  std::uint64_t count = 0;
  do {
    Ref item = to_python(s.message());
    if (PyList_Append(list.get(), item.get()) < 0) internal_failure_from_python("failed to append to a list");
    ++count;
  } while (count < n && s.subscriber->try_receive_deferring_error(s.recv_buf));
  return list;
}

constexpr auto kRecvBatch = Method{"Subscription.recv_batch()",
                                   {required("n"), optional("timeout_secs", 1.0)},
                                   Borrow::Exclusive,
                                   Lock::ReleasedToWait,
                                   recv_batch};

// __next__: as recv; a vanished or restarted publisher (or a reset
// connection) ends the iteration without an exception.
PyResult<Ref> next_message(PySubscription& s) {
  Result<ByteView> got = receive_blocking(s);
  if (got) return to_python(*got);
  if (publisher_gone(got.error())) return Ref();  // null without an exception: StopIteration
  return py_error(std::move(got.error()));
}

constexpr auto kNext = Method{Borrow::Exclusive, Lock::ReleasedToWait, next_message};

// ---------------------------------------------------------------------------
// Receiving into caller buffers

// recv_into($self, buf): the lock is released only while waiting or reading the log.
PyResult<std::optional<std::size_t>> recv_into(PySubscription& s, PyObject* buf) {
  PyResult<WritableView> view = WritableView::acquire(buf);
  if (!view) return py_error();
  return slice_result(*view, receive(s, Subscriber::Sink::slice(view->bytes()), Deadline::never()));
}

constexpr auto kRecvInto =
    Method{"Subscription.recv_into()", {required("buf")}, Borrow::Exclusive, Lock::ReleasedToWait, recv_into};

// try_recv_into($self, buf): one attempt, the lock held throughout.
PyResult<std::optional<std::size_t>> try_recv_into(PySubscription& s, PyObject* buf) {
  PyResult<WritableView> view = WritableView::acquire(buf);
  if (!view) return py_error();
  return slice_result(*view, s.subscriber->try_receive_one_into_slice(view->bytes()));
}

constexpr auto kTryRecvInto =
    Method{"Subscription.try_recv_into()", {required("buf")}, Borrow::Exclusive, Lock::Held, try_recv_into};

// recv_timeout_into($self, buf, timeout_secs=1.0): the lock is released only
// while waiting or reading the log; the timeout is converted before the buffer is looked at, and
// checked after.
PyResult<std::optional<std::size_t>> recv_timeout_into(PySubscription& s, PyObject* buf, DeferredTimeout timeout_secs) {
  PyResult<WritableView> view = WritableView::acquire(buf);
  if (!view) return py_error();
  PyResult<Timeout> timeout = timeout_secs.check();
  if (!timeout) return py_error();
  return slice_result(*view, receive(s, Subscriber::Sink::slice(view->bytes()), timeout->deadline()));
}

constexpr auto kRecvTimeoutInto = Method{"Subscription.recv_timeout_into()",
                                         {required("buf"), optional("timeout_secs", 1.0)},
                                         Borrow::Exclusive,
                                         Lock::ReleasedToWait,
                                         recv_timeout_into};

// The slots after the first of recv_into_buffer: each message is read
// straight into its slot, without waiting. The slots filled in all.
PyResult<std::uint64_t> fill_remaining_slots(PySubscription& sub, WritableView& view, std::uint64_t payload_size,
                                             std::uint64_t slots) {
  std::span<std::byte> buf = view.bytes();
  std::uint64_t count = 1;
  for (; count < slots; ++count) {
    Subscriber::Received got =
        sub.subscriber->try_receive_one_into_slice(buf.subspan(count * payload_size, payload_size));
    if (got && !*got) break;
    if (got && **got == payload_size) continue;
    view.release();
    if (!got && got.error().get_if<Error::MessageTooLarge>() != nullptr) {
      return value_error<std::uint64_t>("payload at index " + std::to_string(count) + " exceeds payload_size (" +
                                        std::to_string(payload_size) + ")");
    }
    if (!got) return py_error(std::move(got.error()));
    return value_error<std::uint64_t>("payload at index " + std::to_string(count) + " is " + std::to_string(**got) +
                                      " bytes; payload_size is " + std::to_string(payload_size));
  }
  view.release();
  return count;
}

// recv_into_buffer($self, buf, payload_size, timeout_secs=1.0): the lock is
// released only while the receive of the first message, which lands in
// recv_buf, waits or reads the log.
PyResult<std::uint64_t> recv_into_buffer(PySubscription& s, PyObject* buf, std::uint64_t payload_size,
                                         DeferredTimeout timeout_secs) {
  if (payload_size == 0) return value_error<std::uint64_t>("payload_size must be > 0");
  PyResult<WritableView> view = WritableView::acquire(buf);
  if (!view) return py_error();
  const std::uint64_t slots = view->bytes().size() / payload_size;
  if (slots == 0) return 0;
  PyResult<Timeout> timeout = timeout_secs.check();
  if (!timeout) return py_error();
  Result<bool> first = receive_blocking_timeout(s, *timeout);
  if (!first) {
    view->release();
    return py_error(std::move(first.error()));
  }
  if (!*first) return 0;
  if (s.recv_buf.size() != payload_size) {
    view->release();
    return value_error<std::uint64_t>("payload at index 0 is " + std::to_string(s.recv_buf.size()) +
                                      " bytes; payload_size is " + std::to_string(payload_size));
  }
  std::memcpy(view->bytes().data(), s.recv_buf.data(), payload_size);
  return fill_remaining_slots(s, *view, payload_size, slots);
}

constexpr auto kRecvIntoBuffer = Method{"Subscription.recv_into_buffer()",
                                        {required("buf"), required("payload_size"), optional("timeout_secs", 1.0)},
                                        Borrow::Exclusive,
                                        Lock::ReleasedToWait,
                                        recv_into_buffer};

// ---------------------------------------------------------------------------
// Event-loop handshake and descriptors

constexpr auto kFileno =
    Method{Borrow::Shared, Lock::Held, [](const PySubscription& s) { return s.subscriber->wake_fd(); }};

constexpr auto kSocketFileno =
    Method{Borrow::Shared, Lock::Held, [](const PySubscription& s) { return s.subscriber->stream_fd(); }};

// No system call: the flag exchange, a fence and a load of the tail.
constexpr auto kArmWakeup =
    Method{Borrow::Exclusive, Lock::Held, [](PySubscription& s) { return s.subscriber->arm_wakeup(); }};

// One read of the eventfd; "no unit pending" is False, not an error.
constexpr auto kDrainWakeup =
    Method{Borrow::Exclusive, Lock::Held, [](PySubscription& s) { return s.subscriber->drain_wakeup(); }};

// Lock held: one eventfd read, then at most one ring read into a new vector.
constexpr auto kPollRecv =
    Method{Borrow::Exclusive, Lock::Held, [](PySubscription& s) { return s.subscriber->poll_recv(); }};

// ---------------------------------------------------------------------------
// Properties and the context manager

constexpr auto kLag = Method{Borrow::Shared, Lock::Held, [](const PySubscription& s) { return s.subscriber->lag(); }};

constexpr auto kCursor =
    Method{Borrow::Shared, Lock::Held, [](const PySubscription& s) { return s.subscriber->cursor(); }};

constexpr auto kMaxPayloadSize = Method{Borrow::Shared, Lock::Held, [](const PySubscription& s) {
                                          return std::uint64_t{s.subscriber->max_payload_size()};
                                        }};

// __exit__ releases nothing: only destruction ends a subscription.
constexpr auto kExit = context_exit<PySubscription>("Subscription.__exit__()");

// ---------------------------------------------------------------------------
// The class

constexpr const char kDoc[] =
    "An active subscription to one topic.\n\n"
    "Use it in a with block and iterate over it to receive messages as bytes:\n\n"
    "    with bus.subscribe(\"events\") as sub:\n"
    "        for msg in sub:\n"
    "            handle(msg)\n\n"
    "Iteration ends when the publisher goes away. The blocking receives release the\n"
    "interpreter lock while they wait. For asyncio, do not block: register fileno()\n"
    "as a reader with the event loop and follow the arm_wakeup() / drain_wakeup() /\n"
    "poll_recv() handshake with try_recv(); an asynchronous wrapper needs no more\n"
    "than these members.";

PyMethodDef kMethods[] = {method_def<kRecv, "recv",
                                     "Block until the next message arrives and return it as bytes.\n\n"
                                     "Releases the interpreter lock while it waits. Raises OSError when the\n"
                                     "publisher disconnects or restarts.">(),
                          method_def<kRecvTimeout, "recv_timeout",
                                     "Block up to timeout_secs for the next message; None on timeout.\n\n"
                                     "Releases the interpreter lock while it waits.">(),
                          method_def<kTryRecv, "try_recv",
                                     "Non-blocking poll: the next message as bytes, or None at once when no\n"
                                     "message is ready.">(),
                          method_def<kRecvInto, "recv_into",
                                     "Block for the next message and write it straight into buf, any writable,\n"
                                     "C-contiguous bytes-like object; return the number of bytes written.\n\n"
                                     "Reusing one buffer receives without any allocation per message. Raises\n"
                                     "MessageTooLargeError when the message is larger than buf (sizing buf to\n"
                                     "max_payload_size avoids it) and OSError on publisher disconnect, like recv().">(),
                          method_def<kRecvTimeoutInto, "recv_timeout_into",
                                     "Like recv_into(), but give up after timeout_secs: the number of bytes\n"
                                     "written, or None on timeout.">(),
                          method_def<kTryRecvInto, "try_recv_into",
                                     "Non-blocking recv_into(): the number of bytes written, or None at once when\n"
                                     "no message is ready. Keeps the interpreter lock and copies the message once,\n"
                                     "without allocation.">(),
                          method_def<kRecvBatch, "recv_batch",
                                     "Drain up to n messages into a list, saving per-call overhead.\n\n"
                                     "Blocks up to timeout_secs for the first message with the interpreter lock\n"
                                     "released, then takes the rest without waiting and with the lock held, since a\n"
                                     "ring read needs no system call. Reuses one receive buffer and makes one bytes\n"
                                     "object per message. An empty list on timeout.">(),
                          method_def<kRecvIntoBuffer, "recv_into_buffer",
                                     "Drain up to len(buf) // payload_size messages straight into consecutive\n"
                                     "payload_size slots of buf and return how many were written.\n\n"
                                     "Every payload must be exactly payload_size bytes, else ValueError: meant for\n"
                                     "fixed-size messages and preallocated arrays. Blocks up to timeout_secs for the\n"
                                     "first message, then takes the rest without waiting and with the interpreter\n"
                                     "lock held, like recv_batch(); 0 on timeout. Every message is copied from its\n"
                                     "ring slot straight into buf.">(),
                          method_def<kFileno, "fileno",
                                     "The subscriber's wakeup eventfd, to register as a reader with an event loop\n"
                                     "for waiting without a thread.">(),
                          method_def<kSocketFileno, "socket_fileno",
                                     "The descriptor of the connection to the publisher, for noticing a disconnect\n"
                                     "(it reports a hang-up); it differs from fileno().">(),
                          method_def<kArmWakeup, "arm_wakeup",
                                     "Arm the wakeup flag before an event-loop wait; call it after try_recv() or\n"
                                     "poll_recv() gave None.\n\n"
                                     "True means a message became available while arming: read again at once\n"
                                     "instead of waiting. False means the flag is armed: wait until fileno() is\n"
                                     "readable, which the publisher's next publish brings about. Arming is required\n"
                                     "because the publisher wakes only subscribers whose flag is set.">(),
                          method_def<kDrainWakeup, "drain_wakeup",
                                     "Consume one pending wakeup so that the level-triggered descriptor stops\n"
                                     "signalling; True when one was consumed. The ring is read separately with\n"
                                     "try_recv(). For the event loop's reader callback.">(),
                          method_def<kPollRecv, "poll_recv",
                                     "Non-blocking: consume one wakeup and try one ring read. None when no wakeup\n"
                                     "was pending or the ring was empty. For the event loop's reader callback.">(),
                          enter_method<PySubscription>(),
                          exit_method<kExit>(),
                          {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetters[] = {
    {"max_payload_size", entry<kMaxPayloadSize>, nullptr,
     "The largest payload one message can carry on this topic (the ring's slot\n"
     "size); a recv_into() buffer of this size never rejects a message as too large.",
     nullptr},
    {"lag", entry<kLag>, nullptr, "How many messages this subscriber is behind the producer.", nullptr},
    {"cursor", entry<kCursor>, nullptr, "The current read cursor position.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {{Py_tp_iter, unary_slot(self_if_shareable<PySubscription>)},
                        {Py_tp_iternext, unary_slot(entry<kNext>)},
                        {Py_tp_methods, kMethods},
                        {Py_tp_getset, kGetters},
                        {0, nullptr}};

constexpr ClassSpec kClass = class_spec<PySubscription>("qorva._qorva.Subscription", kSlots, kDoc);

}  // namespace

PyResult<PyTypeObject*> subscription_type() { return class_type<kClass>(); }

// If the object cannot be made, the subscriber is torn down again and the
// call ends in an internal failure.
Ref to_python(std::unique_ptr<Subscriber> subscriber) {
  PySubscription value(std::move(subscriber));
  PyResult<PyTypeObject*> type = subscription_type();
  if (!type) internal_failure_from_python("failed to make the Subscription type");
  return expect(make_instance(*type, std::move(value)), "failed to make a Subscription");
}

}  // namespace qorva::python
