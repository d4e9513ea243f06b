#include "admission.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <optional>
#include <system_error>
#include <utility>

#include "clock.h"
#include "logging.h"
#include "thread_annotations.h"

namespace qorva {
namespace admission_detail {

// A connection accepted before its handshake arrived. Connections are
// numbered in accept order, which for two naming the same cursor slot is the
// order their subscribers held it: each claims the slot before it connects,
// and releases it only after.
struct Pending {
  UniqueFd connection;
  std::uint64_t number;
};

struct Shared {
  explicit Shared(std::uint32_t max_subscribers) : newest_received(max_subscribers, 0) {}

  Mutex mutex;
  std::vector<Pending> pending QORVA_GUARDED_BY(mutex);  // in accept order
  // Received, not yet taken by the publisher; in the order received.
  std::vector<Handshake> inbox QORVA_GUARDED_BY(mutex);
  // Per cursor slot, the number of the newest connection whose handshake
  // named it (0: none yet).
  std::vector<std::uint64_t> newest_received QORVA_GUARDED_BY(mutex);
  std::uint64_t accepted QORVA_GUARDED_BY(mutex) = 0;  // the last connection's number
  bool stop QORVA_GUARDED_BY(mutex) = false;
};

}  // namespace admission_detail

namespace {

using admission_detail::Pending;
using admission_detail::Shared;

// The publisher's pass accepts the whole queue: a subscriber that counted
// itself may be anywhere in it. The watcher takes it in bites, so that the
// lock is never held long.
constexpr std::size_t kWholeQueue = ~std::size_t{0};
constexpr std::size_t kWatcherBite = 64;
// After the listener failed (out of descriptors, say), the watcher leaves it
// alone this long rather than spin on a queue it cannot accept from.
constexpr Duration kListenerRetry = Duration::from_millis(100);

// What a step met besides the handshakes it received, for the caller to act
// on once the lock is released.
struct StepOutcome {
  std::vector<IoError> refused;  // each one's connection closed
  std::size_t superseded = 0;    // closed: a newer connection had named the slot
  std::optional<IoError> listener_error;
  bool left_pending = false;  // connections it accepted still wait for their handshake

  bool closed_any() const { return !refused.empty() || superseded > 0; }
};

// Reads the handshake of a connection into the inbox when it has arrived.
// True while it has not: the connection stays pending. A refusal is noted,
// and the caller's dropping of the connection closes it.
//
// Handshakes are received in no fixed order (one may wait on a connection
// accepted long ago), but the publisher lets the last one it takes for a slot
// replace the others. So a handshake that arrives after a newer connection's
// for the same slot is from a subscriber that has left the slot, and is closed.
bool still_waiting(Shared& shared, Pending& pending, std::uint32_t max_subscribers, StepOutcome& outcome)
    QORVA_REQUIRES(shared.mutex) {
  auto got = try_receive_handshake(pending.connection, max_subscribers);
  if (!got) {
    outcome.refused.push_back(got.error());
    return false;
  }
  if (!*got) return true;
  std::uint64_t& newest = shared.newest_received[(*got)->cursor_idx];
  if (pending.number < newest) {
    ++outcome.superseded;
    return false;
  }
  newest = pending.number;
  shared.inbox.push_back(std::move(**got));
  return false;
}

// The accept step: reads what arrived on the pending connections, then
// accepts from the queue, reading each new connection at once.
void run_step(Shared& shared, int listener, std::uint32_t max_subscribers, std::size_t max_accepts,
              StepOutcome& outcome) QORVA_REQUIRES(shared.mutex) {
  std::vector<Pending>& pending = shared.pending;
  std::size_t kept = 0;
  for (Pending& p : pending) {
    if (still_waiting(shared, p, max_subscribers, outcome)) pending[kept++] = std::move(p);
  }
  pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(kept), pending.end());
  for (std::size_t n = 0; n < max_accepts; ++n) {
    auto accepted = accept_connection(listener);
    if (!accepted) {
      outcome.listener_error = accepted.error();
      return;
    }
    if (!*accepted) return;
    Pending p{std::move(**accepted), ++shared.accepted};
    if (still_waiting(shared, p, max_subscribers, outcome)) {
      pending.push_back(std::move(p));
      outcome.left_pending = true;
    }
  }
}

void report(const StepOutcome& outcome) {
  for (const IoError& refusal : outcome.refused) {
    const std::string text = refusal.text();
    log_debug(log_target::kPublisher, "closed a connection that sent no valid handshake",
              {LogField::quoted("error", text)});
  }
  if (outcome.superseded > 0)
    log_debug(log_target::kPublisher, "closed handshakes for slots a newer connection had named",
              {LogField::u64("count", outcome.superseded)});
}

// Closes the received handshakes whose subscriber hung up before the
// publisher took them: nobody is left to wake. A poll asking for no events
// reports hang-ups and errors only, so data a peer sent after its handshake
// keeps nothing ready.
void drop_departed(Shared& shared, std::vector<pollfd>& scratch) QORVA_REQUIRES(shared.mutex) {
  std::vector<Handshake>& inbox = shared.inbox;
  if (inbox.empty()) return;
  scratch.clear();
  for (const Handshake& h : inbox) scratch.push_back({h.connection.get(), 0, 0});
  if (::poll(scratch.data(), scratch.size(), 0) <= 0) return;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < inbox.size(); ++i) {
    if ((scratch[i].revents & (POLLHUP | POLLERR)) == 0) inbox[kept++] = std::move(inbox[i]);
  }
  inbox.erase(inbox.begin() + static_cast<std::ptrdiff_t>(kept), inbox.end());
}

// What the watcher sleeps on: its eventfd, the listener (unless it is
// resting), each pending connection for its handshake, and each received
// handshake's connection for a hang-up.
void fill_watch_set(const Shared& shared, int notify, int listener, std::vector<pollfd>& fds)
    QORVA_REQUIRES(shared.mutex) {
  fds.clear();
  fds.push_back({notify, POLLIN, 0});
  fds.push_back({listener, POLLIN, 0});  // a negative descriptor is skipped
  for (const Pending& p : shared.pending) fds.push_back({p.connection.get(), POLLIN, 0});
  for (const Handshake& h : shared.inbox) fds.push_back({h.connection.get(), 0, 0});
}

void drain(int notify) {
  while (read_wakeup(notify)) {
  }
}

// The watcher's loop. Every step works on the sets as they are under the
// lock, and the next poll watches those; a pass of the publisher's that
// changed them wakes it through `notify`.
void watch(Shared& shared, int listener, int notify, std::uint32_t max_subscribers) {
  // Signals are for the application's threads; this one must not take them.
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  std::vector<pollfd> fds;
  std::vector<pollfd> scratch;
  std::optional<Deadline> listener_rest;
  for (;;) {
    if (listener_rest && listener_rest->passed()) listener_rest.reset();
    {
      MutexLock lock(shared.mutex);
      if (shared.stop) return;
      fill_watch_set(shared, notify, listener_rest ? -1 : listener, fds);
    }
    // A resting listener is polled again when its rest ends; otherwise only
    // an event ends the poll.
    const Deadline poll_until = listener_rest ? *listener_rest : Deadline::never();
    if (::poll(fds.data(), fds.size(), poll_until.poll_millis()) < 0 && errno != EINTR) {
      // Out of kernel memory, most likely: wait a little rather than spin.
      sleep_for(kListenerRetry);
      continue;
    }
    drain(notify);
    StepOutcome outcome;
    {
      MutexLock lock(shared.mutex);
      if (shared.stop) return;
      run_step(shared, listener, max_subscribers, listener_rest ? 0 : kWatcherBite, outcome);
      drop_departed(shared, scratch);
    }
    report(outcome);
    if (outcome.listener_error) {
      const std::string text = outcome.listener_error->text();
      log_debug(log_target::kPublisher, "accepting on signal.sock failed", {LogField::quoted("error", text)});
      listener_rest = Deadline::after(kListenerRetry);
    }
  }
}

}  // namespace

Admission::Admission(UniqueFd listener, UniqueFd notify, std::uint32_t max_subscribers)
    : listener_(std::move(listener)),
      notify_(std::move(notify)),
      max_subscribers_(max_subscribers),
      shared_(std::make_unique<Shared>(max_subscribers)) {}

std::expected<Admission, IoError> Admission::open(UniqueFd listener, std::uint32_t max_subscribers) {
  auto notify = create_wake_fd();
  if (!notify) return std::unexpected(notify.error());
  Admission admission(std::move(listener), std::move(*notify), max_subscribers);
  try {
    admission.watcher_ = std::make_unique<std::thread>(watch, std::ref(*admission.shared_), admission.listener_.get(),
                                                       admission.notify_.get(), max_subscribers);
  } catch (const std::system_error& e) {
    return std::unexpected(IoError::from_errno(e.code().value()));
  }
  return admission;
}

Admission::Admission(Admission&&) noexcept = default;
Admission::~Admission() { shut_down(); }

std::expected<void, IoError> Admission::take_arrivals(std::vector<Handshake>& arrived) {
  if (!shared_ || !epoch_.in_origin()) return {};
  StepOutcome outcome;
  {
    MutexLock lock(shared_->mutex);
    run_step(*shared_, listener_.get(), max_subscribers_, kWholeQueue, outcome);
    arrived.swap(shared_->inbox);
  }
  // The watcher may sleep in a poll that lacks the connections this step left
  // pending, or that holds ones it closed or handed over: a poll keeps each
  // file it waits on, so a peer would see no hang-up until the watcher let go.
  // Only a pass that met a connection gets here.
  if (outcome.left_pending || outcome.closed_any() || !arrived.empty()) (void)write_wakeup(notify_.get());
  report(outcome);
  if (outcome.listener_error) return std::unexpected(*outcome.listener_error);
  return {};
}

void Admission::shut_down() {
  if (!shared_) return;
  if (!epoch_.in_origin()) {
    (void)watcher_.release();
    (void)shared_.release();
  } else {
    if (watcher_) {
      {
        MutexLock lock(shared_->mutex);
        shared_->stop = true;
      }
      (void)write_wakeup(notify_.get());
      watcher_->join();
      watcher_.reset();
    }
    shared_.reset();
  }
  listener_.reset();
  notify_.reset();
}

}  // namespace qorva
