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
#include "function_ref.h"
#include "start_position.h"
#include "waker.h"

namespace qorva {

// Whether a receive's error says that the subscription's publisher is gone
// for good: it disconnected (publisher_disconnected() in waker.h), it
// restarted (publisher_restarted()), or the connection was reset. Iteration
// ends on these instead of failing.
bool publisher_gone(const Error& e);

// Not thread-safe: one call at a time. Destruction closes the connection and
// the eventfd first, then frees the cursor slot and drops its lock, unmaps the
// ring and closes the log's files. A forked child closes its copies of the subscriber's descriptors
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

  // Where a receive puts the message: a buffer, resized to the message, or a
  // caller's slice, into which a longer message does not go (it is consumed
  // and fails MessageTooLarge).
  class Sink {
   public:
    static Sink growing(std::vector<std::byte>& buffer) { return Sink(&buffer, {}); }
    static Sink slice(std::span<std::byte> out) { return Sink(nullptr, out); }

   private:
    friend class Subscriber;
    Sink(std::vector<std::byte>* buffer, std::span<std::byte> slice) : buffer_(buffer), slice_(slice) {}
    std::vector<std::byte>* buffer_;
    std::span<std::byte> slice_;
  };

  // Runs the steps of a receive that may block: a wait for the next message,
  // and each step of catching up from the log, which reads files and may wait
  // for the log to be written out. A step touches none of the sink's memory
  // and has finished when run() returns, so the Python layer releases its
  // interpreter lock around it, and a thread unwound on its way back into the
  // interpreter leaves the subscriber consistent. run() calls `step` exactly
  // once; the default does nothing else.
  class BlockingSteps {
   public:
    virtual ~BlockingSteps() = default;
    virtual void run(FunctionRef<void()> step) { step(); }
  };

  // The next message, in cursor order, into `sink`: its length, or none when
  // nothing came before `deadline` (Deadline::now() never waits, never() waits
  // as long as it takes). A wait may end up to a millisecond early, never
  // late. Catching up waits for the log within the deadline too. Errors: Io
  // (publisher_disconnected(), publisher_restarted(), the latter for good once
  // a new publisher's numbering has ended the subscription); Wal or
  // CursorTooOld when catching up from the log fails (once: the next receive
  // reads the ring); MessageTooLarge when the message is longer than a slice
  // (it is consumed all the same).
  using Received = Result<std::optional<std::size_t>>;
  Received receive(Sink sink, const Deadline& deadline, BlockingSteps& steps);

  // Adapters over receive(), into a growing buffer or a slice.
  Result<void> receive_into(std::vector<std::byte>& out);  // waits as long as it takes
  Result<bool> try_receive(std::vector<std::byte>& out);   // never waits
  // Never waits and never fails: an error reads as "nothing now" and is kept
  // for the next receive, which reports it first; for taking the rest of a
  // batch whose first message is already the caller's.
  bool try_receive_deferring_error(std::vector<std::byte>& out);
  Result<bool> receive_until_into(const Deadline& deadline, std::vector<std::byte>& out);
  Result<bool> receive_timeout_into(Duration timeout, std::vector<std::byte>& out);
  Received try_receive_one_into_slice(std::span<std::byte> out);

  // Waits until worth reading again, `until` passes (Deadline::never(): no
  // limit) or the publisher hangs up; true when worth reading. It first
  // watches the tail, spinning for up to 50 us (less, or not at all, while
  // messages came farther apart), and answers true without sleeping when the
  // tail moves; then it arms the wakeup flag and sleeps on the eventfd.
  Result<bool> wait_readable(const Deadline& until);
  // Event-loop receive: consumes one wakeup unit, then reads at most one
  // message. None when no unit was pending or the ring had nothing. What is
  // owed before the ring (a kept error, catching up) comes without a unit.
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
  Received receive_into_buffer(std::vector<std::byte>& out, const Deadline& deadline, BlockingSteps& steps);
  // The index of the ring's cursor slot this subscriber holds.
  std::uint64_t cursor_idx() const;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qorva
