// Letting subscribers in: the publisher's listening socket signal.sock, the
// connections accepted on it whose handshake has not arrived yet, and the
// handshakes received but not yet taken by the publisher.
//
// Nothing here ever waits for a peer. A connection is accepted non-blocking
// and its handshake read only once it has arrived; until then the connection
// is pending, and every later accept step looks at it again. One that sends
// anything but a handshake, or hangs up first, is closed and logged. So a
// process that connects and sends nothing, or a subscriber stopped between
// its connect and its handshake, costs no publish any time, and is let in
// when it does send.
//
// Why a thread: a connection stays in the listener's queue until it is
// accepted, even after its subscriber has gone. Were connections accepted only
// inside the publisher's calls, an idle publisher's queue would fill with those
// of subscriptions that came and went (the kernel keeps somaxconn of them),
// and every later connect would block until its timeout. So a watcher thread
// sleeps in poll on the listener, the pending connections and the handshakes
// not yet taken, and whenever one of them is ready runs the same accept step
// the publisher runs, under the same lock. It never touches the ring, the
// publisher's clients or the log, and never blocks in a system call other
// than its poll.
//
// The publisher still runs the step itself in each of its accept passes: a
// subscriber that has counted itself must be taken in by the very pass that
// loads its count (the wakeup handshake in ring.h), whether or not the watcher
// has run since. Its handshake was queued before it counted, so that pass
// finds it: in the listener's queue, on a pending connection, or received.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <thread>
#include <vector>

#include "fork.h"
#include "io_error.h"
#include "sys.h"
#include "waker.h"

namespace qorva {

namespace admission_detail {
struct Shared;
}  // namespace admission_detail

// Owns the listener, the watcher thread and every connection not yet handed
// to the publisher. Move-only. take_arrivals is for the one thread that
// publishes; the watcher shares nothing else with it.
class Admission {
 public:
  // Takes over `listener` (listening, non-blocking) and starts the watcher.
  // `max_subscribers` bounds the slot index a handshake may name. Errors: the
  // operating-system error of creating the watcher's eventfd or its thread.
  static std::expected<Admission, IoError> open(UniqueFd listener, std::uint32_t max_subscribers);

  Admission(Admission&&) noexcept;
  Admission& operator=(Admission&&) = delete;
  ~Admission();

  // Publishing thread. Runs the accept step and moves every handshake
  // received since the last call into `arrived`, which must be empty, in the
  // order their connections were accepted. Never waits for a peer; may wait
  // for a step of the watcher's, which makes only non-blocking calls. Errors:
  // the listener's own failure (a failed accept), after the handshakes
  // received so far were handed over. In a forked child it hands over
  // nothing: the queue belongs to the parent.
  std::expected<void, IoError> take_arrivals(std::vector<Handshake>& arrived);

  // Stops and joins the watcher, then closes the listener (signal.sock stays)
  // and every connection not handed over. Idempotent. In a forked child,
  // where the watcher does not exist and its lock may have been copied while
  // held, it only closes this process's copies of the two descriptors and
  // leaves the rest: a small leak in a child beats a corrupted parent.
  void shut_down();

 private:
  Admission(UniqueFd listener, UniqueFd notify, std::uint32_t max_subscribers);

  UniqueFd listener_;
  // The watcher's own wakeup: a stop, or connections the publisher left
  // pending that the watcher does not watch yet.
  UniqueFd notify_;
  std::uint32_t max_subscribers_;
  std::unique_ptr<admission_detail::Shared> shared_;
  // Heap-held so that a forked child can leak the handle of a thread that
  // does not exist there rather than join it.
  std::unique_ptr<std::thread> watcher_;
  ForkEpoch epoch_;
};

}  // namespace qorva
