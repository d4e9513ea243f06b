// One reader of one topic: its own ring mapping, a claimed cursor slot, the
// connection to the publisher and its wakeup eventfd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "clock.h"
#include "config.h"
#include "error.h"

namespace qorva {

// Where a new subscriber starts reading.
struct StartPosition {
  enum class Kind : std::uint8_t { Tail = 0, History = 1, From = 2 };
  Kind kind = Kind::Tail;
  std::uint64_t value = 0;  // n messages back (History) or a cursor (From)

  static StartPosition tail() { return {Kind::Tail, 0}; }
  static StartPosition history(std::uint64_t n) { return {Kind::History, n}; }
  static StartPosition from(std::uint64_t cursor) { return {Kind::From, cursor}; }
};

// A new publisher numbers the ring under this subscriber's cursor, so the
// subscription has ended: UnexpectedEof "publisher restarted (generation
// changed)", outcome PublisherRestarted.
IoError publisher_restarted();

// Whether a receive's error says that the subscription's publisher is gone
// for good: it disconnected (publisher_disconnected() in waker.h), it
// restarted (publisher_restarted()), or the connection was reset. Iteration
// ends on these instead of failing.
bool publisher_gone(const Error& e);

// Not thread-safe: one call at a time. Destruction closes the connection
// first, then frees the cursor slot and drops its lock, then unmaps and closes
// the rest. A forked child closes its copies of the subscriber's descriptors
// as it is made, so there a Subscriber may only be destroyed, which only unmaps.
class Subscriber {
 public:
  // Waits (retrying every 5 ms, up to `timeout` shared by both waits) for the
  // topic's ring and socket, claims the lowest free cursor slot and hands the
  // wakeup eventfd to the publisher. Errors: ConnectTimeout (for the topic),
  // TooManySubscribers, Io, CursorTooOld, Wal(CursorTooOld); Io of kind
  // InvalidInput, before anything is touched, for a From cursor of all ones.
  static Result<std::unique_ptr<Subscriber>> connect_with(std::string_view topic, const TopicConfig& config,
                                                          Duration timeout, StartPosition start);

  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Blocks until a message is copied into `out` (cleared first). Errors: Io
  // (publisher_disconnected(), publisher_restarted()), Wal.
  Result<void> receive_into(std::vector<std::byte>& out);
  // One non-blocking attempt; true when a message was copied. Errors: Wal or
  // CursorTooOld when catching up from the log fails (once; the next call
  // reads the ring), Io (publisher_restarted()) for good once a new
  // publisher's numbering has ended the subscription.
  Result<bool> try_receive(std::vector<std::byte>& out);
  // The same, never failing: an error reads as "nothing now", and a catching-up
  // error is kept for the next receive that can fail.
  bool try_receive_into(std::vector<std::byte>& out);
  // True while messages below the tail seen at connect are still caught up
  // with, partly from the log: a receive may then read files.
  bool catching_up() const;
  // Like receive_into with a deadline; false when nothing came in time.
  // Deadline::never() waits as long as receive_into.
  Result<bool> receive_until_into(const Deadline& deadline, std::vector<std::byte>& out);
  // receive_until_into `timeout` from now.
  Result<bool> receive_timeout_into(Duration timeout, std::vector<std::byte>& out);
  // One non-blocking attempt straight into `out`; the message's length, or
  // none. A message longer than `out` is consumed and fails MessageTooLarge.
  Result<std::optional<std::size_t>> try_receive_one_into_slice(std::span<std::byte> out);
  // Arms the wakeup flag and sleeps until woken, the publisher hangs up or
  // `until` passes (Deadline::never(): no limit). True when worth reading
  // again. It first watches the tail, spinning for up to 50 us (less, or not
  // at all, while messages came farther apart), and answers true without
  // sleeping when the tail moves. Before a deadline the sleep lasts the whole
  // milliseconds left, rounded down, and the watch only the rest, so that the
  // wait never ends after `until`.
  Result<bool> wait_readable(const Deadline& until);
  // The same, for a caller that has just read the time left to `until` as
  // `remaining`: the wait reads no clock for it again.
  Result<bool> wait_readable(const Deadline& until, Duration remaining);
  // Event-loop receive: consumes one wakeup unit, then reads at most one
  // message. None when no unit was pending or the ring had nothing.
  Result<std::optional<std::vector<std::byte>>> poll_recv();

  // The event loop's side of the wakeup handshake (ring.h), without sleeping:
  // arms the flag, re-checks the tail; true (flag disarmed) when a message is
  // already there to read.
  bool arm_wakeup();
  // Consumes one wakeup unit: true when one was pending, false when none;
  // other read failures are returned.
  std::expected<bool, IoError> drain_wakeup();

  int wake_fd() const;
  int stream_fd() const;
  std::uint64_t cursor() const;
  // Messages between the cursor and the tail (0 when the cursor is ahead).
  std::uint64_t lag() const;
  // The ring's slot size: the largest payload a message can carry.
  std::uint32_t max_payload_size() const;

 private:
  friend class SubscriberPeer;  // tests
  Subscriber();
  // The index of the ring's cursor slot this subscriber holds.
  std::uint64_t cursor_idx() const;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qorva
