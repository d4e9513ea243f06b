#include "publisher.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "accept_timer.h"
#include "admission.h"
#include "logging.h"
#include "names.h"
#include "producer_lock.h"
#include "ring.h"
#include "sys.h"
#include "waker.h"

namespace qorva {
namespace {

constexpr Duration kSubscriberPollInterval = Duration::from_millis(1);
// Connections that never count themselves (stray or hostile peers) are still
// accepted, and so refused, this often.
constexpr Duration kAcceptInterval = Duration::from_millis(10);

// One connected subscriber as the publisher sees it.
struct Client {
  std::uint32_t cursor_idx;
  UniqueFd connection;  // never read after the handshake; its close tells the subscriber
  UniqueFd wake_fd;

  explicit Client(Handshake&& h)
      : cursor_idx(h.cursor_idx), connection(std::move(h.connection)), wake_fd(std::move(h.wake_fd)) {}
  Client(Client&&) noexcept = default;
  // Closes the old connection, then the old wakeup descriptor.
  Client& operator=(Client&&) noexcept = default;
  // Closes the connection, then the wakeup descriptor.
  ~Client() {
    connection.reset();
    wake_fd.reset();
  }
};

enum class DropReason { SlotReleased, WakeFailed, HungUp };

// Single writer: a plain add keeps the locked instruction off every publish,
// while readers on other threads still see whole values.
void count_up(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// What the publisher counts; written by the publishing thread alone (count_up),
// read by stats() from any.
struct Counters {
  std::atomic<std::uint64_t> published_total{0};
  std::atomic<std::uint64_t> full_rejected_total{0};
  std::atomic<std::uint64_t> subscribers_dropped_total{0};
  std::atomic<std::uint64_t> wakeups_sent_total{0};

  void fill(TopicStats& stats) const {
    stats.published_total = published_total.load(std::memory_order_relaxed);
    stats.full_rejected_total = full_rejected_total.load(std::memory_order_relaxed);
    stats.subscribers_dropped_total = subscribers_dropped_total.load(std::memory_order_relaxed);
    stats.wakeups_sent_total = wakeups_sent_total.load(std::memory_order_relaxed);
  }
};

// The outcome of writing one message: whether it reached the ring, and an
// error to report even so.
struct WriteOutcome {
  bool written = true;
  std::optional<Error> error;
};

// Backpressure::Error's check for room. The ring is full when the slowest
// held cursor is a whole ring behind the tail, so the slot of the next
// message holds what that subscriber reads next. The cursor slots are
// scanned only when the cached floor may be out of date: `floor` is the
// slowest held cursor as of the last scan (the tail then, when none was
// held), `floor_connect_count` the connect count loaded before that scan
// (empty: scan at the next check), and a check scans again when the count has
// moved or the tail has gone a ring past the floor. Why no subscriber reads
// below such a floor is "Joining the ring, and the publisher's gating floor"
// in ring.h; it relies on a fence after the last tail store before each check.
struct Gate {
  explicit Gate(Backpressure bp) : backpressure(bp) {}

  // Whether publishes are refused while the ring is full.
  bool gates() const { return backpressure == Backpressure::Error; }

  Backpressure backpressure;
  std::uint64_t floor = 0;
  std::optional<std::uint64_t> floor_connect_count;
};

// Letting subscribers in: the listener with its watcher, and when the
// publisher last took in what they handed over.
struct Accepting {
  Accepting(Admission a, std::uint64_t connect_count)
      : admission(std::move(a)), accepted_connect_count(connect_count) {}

  Admission admission;              // the listener, its watcher and the connections not yet taken
  std::vector<Handshake> arrivals;  // kept empty between passes, so that a pass allocates nothing
  // The ring's connect count as of the last accept pass; empty after a pass
  // that failed, so that the next publish accepts again.
  std::optional<std::uint64_t> accepted_connect_count;
  AcceptTimer timer{kAcceptInterval};
};

// The connected subscribers; publishing thread only.
struct Clients {
  explicit Clients(std::uint64_t connect_count) : swept_connect_count(connect_count) {}

  std::vector<Client> list;  // in accept order
  // The connect count as of the last look for released slots, and whether
  // the timed accept pass asked for a look (for peers that never count).
  std::uint64_t swept_connect_count;
  bool sweep_due = false;
  std::vector<pollfd> hang_up_scan;  // the timed pass's poll set, kept to allocate once

  bool holding(std::uint32_t slot) const {
    return std::any_of(list.begin(), list.end(), [slot](const Client& c) { return c.cursor_idx == slot; });
  }
  // Removes entry i, swapping the last entry in; returns the slot it held.
  std::uint32_t remove(std::size_t i) {
    const std::uint32_t slot = list[i].cursor_idx;
    if (i + 1 != list.size()) list[i] = std::move(list.back());
    list.pop_back();
    return slot;
  }
};

}  // namespace

struct Publisher::State {
  // Declared in reverse teardown order: the mapping goes first, then the
  // listener with its watcher and the connections not yet taken, then the
  // connected subscribers, then the log, and the producer lock last, after
  // the log's last sync.
  ProducerLock lock;            // held for the publisher's whole life
  std::optional<wal::Wal> log;  // present exactly when the topic keeps a log
  Counters counters;
  std::string topic;  // for the log lines of freed slots
  Clients clients;
  Accepting accepting;
  Gate gate;
  RingWriter ring;

  State(RingWriter r, Admission a, std::optional<wal::Wal> w, ProducerLock pl, Backpressure bp,
        std::uint64_t connect_count, std::string_view topic_name)
      : lock(std::move(pl)),
        log(std::move(w)),
        topic(topic_name),
        clients(connect_count),
        accepting(std::move(a), connect_count),
        gate(bp),
        ring(std::move(r)) {}

  // Takes in every handshake received so far; each accepted slot index is
  // appended to `accepted_slots` when one is given. Errors: the listener's own.
  Result<void> accept_clients(std::vector<std::uint32_t>* accepted_slots = nullptr);
  Result<void> accept_pass(std::vector<std::uint32_t>* accepted_slots = nullptr);
  Result<void> accept_if_due();
  Result<void> timed_pass();
  void drop_hung_up_clients();
  void free_slots_of_gone_subscribers();
  // Whether a connected client holds `cursor_idx` and its connection is up.
  bool held_by_connected_client(std::uint32_t cursor_idx);
  void accept_in_wakeup_pass(std::vector<std::uint32_t>* accepted_slots);
  void remove_client(std::size_t i, DropReason reason);
  // Drops, as released, every client whose cursor slot index satisfies `released`.
  template <class Released>
  void drop_clients_where(Released&& released);
  void drop_clients_of_slot(std::uint32_t cursor_idx);
  void drop_released_clients(std::uint64_t connect_count);
  bool refuses_when_full() { return gate.gates() && ring_full(); }
  bool ring_full();
  // The smallest held cursor, or `tail` when it is smaller or none is held.
  std::uint64_t slowest_cursor(std::uint64_t tail) const;
  WriteOutcome write_message(std::span<const std::byte> payload);
  void broadcast_wakeup();
  bool wake_armed_clients();
  void wake_late_arrivals();
  // Writes a wakeup to entry i; drops the entry when that fails. True when it stays.
  bool wake_or_drop(std::size_t i);
  // (slot, lag) of every held cursor slot against `tail`, in slot order.
  std::vector<SlotLag> occupied_slot_lags(std::uint64_t tail) const;
};

// A handshake naming a slot that a connected client holds is refused while
// that client's connection is up: it comes from a subscriber of a ring file
// since replaced, or from a peer that is no subscriber at all, and must not
// cut off the live one. A subscriber that gives its slot up closes its
// connection before it releases the slot, so the rightful next holder's
// handshake always finds the older connection hung up.
Result<void> Publisher::State::accept_clients(std::vector<std::uint32_t>* accepted_slots) {
  auto taken = accepting.admission.take_arrivals(accepting.arrivals);
  for (Handshake& handshake : accepting.arrivals) {
    if (held_by_connected_client(handshake.cursor_idx)) {
      log_debug(log_target::kPublisher, "closed a handshake for a slot a connected subscriber holds",
                {LogField::u64("cursor_idx", handshake.cursor_idx)});
      continue;  // clearing `arrivals` closes it
    }
    // A slot released and claimed again before a wakeup pass noticed: the
    // older entry would take the new holder's wakeups.
    drop_clients_of_slot(handshake.cursor_idx);
    if (accepted_slots != nullptr) accepted_slots->push_back(handshake.cursor_idx);
    clients.list.emplace_back(std::move(handshake));
  }
  accepting.arrivals.clear();
  if (!taken) return io_failure(taken.error());
  return {};
}

// Records the connect count loaded before accepting, so that a subscriber
// counting itself during the pass is seen by the next check.
Result<void> Publisher::State::accept_pass(std::vector<std::uint32_t>* accepted_slots) {
  const std::uint64_t connect_count = ring.load_connect_count();
  Result<void> accepted = accept_clients(accepted_slots);
  accepting.accepted_connect_count = accepted ? std::optional(connect_count) : std::nullopt;
  return accepted;
}

// A publish accepts only when a subscriber has counted itself since the last
// pass, or in the timed pass, every 10 ms: the system calls of a pass cost
// more than the whole publish otherwise.
Result<void> Publisher::State::accept_if_due() {
  if (accepting.timer.due()) return timed_pass();
  if (accepting.accepted_connect_count == ring.load_connect_count()) return {};
  return accept_pass();
}

// Besides accepting, the timed pass has the next wakeup pass look for
// released slots (a peer that never counts itself does not count its release
// either), and frees the slots of subscribers that are gone without
// releasing them. It runs before the fullness check of the publish, so a
// publisher that a dead subscriber holds at BusFull gets going again.
Result<void> Publisher::State::timed_pass() {
  accepting.timer.mark_pass();
  clients.sweep_due = true;
  Result<void> accepted = accept_pass();
  drop_hung_up_clients();
  free_slots_of_gone_subscribers();
  return accepted;
}

// A subscriber keeps its connection open for its whole life, and its forked
// children close their copies, so a connection that hung up belongs to a
// subscriber whose process is gone or that is tearing down. One poll over all
// of them, asking for no events: only hang-ups and errors are reported.
// Walked from the end, since a removal moves the last client into the gap.
void Publisher::State::drop_hung_up_clients() {
  std::vector<pollfd>& scan = clients.hang_up_scan;
  if (clients.list.empty()) return;
  scan.clear();
  for (const Client& c : clients.list) scan.push_back({c.connection.get(), 0, 0});
  if (::poll(scan.data(), scan.size(), 0) <= 0) return;
  for (std::size_t i = clients.list.size(); i-- > 0;) {
    if ((scan[i].revents & (POLLHUP | POLLERR)) == 0) continue;
    remove_client(i, DropReason::HungUp);
  }
}

// Frees every held cursor slot that no client holds and whose holder is gone
// (RingBuffer::free_if_holder_gone: nobody holds the slot's lock). That is a
// slot whose client was just dropped for its hang-up, or one claimed by a
// subscriber that ended before its handshake came in. A slot a live
// subscriber holds keeps its lock and is left alone, whether it is still
// connecting or belongs to an earlier publisher.
//
// The gating floor stays sound ("Joining the ring" in ring.h): freeing only
// takes a cursor away, so the slowest held cursor can only rise, and the
// cached floor stays at or below it; the connect count needs no add for it. A
// publish the stale floor refuses makes the next check rescan, since a full
// ring always does.
void Publisher::State::free_slots_of_gone_subscribers() {
  for (std::uint32_t i = 0; i < ring.max_subscribers(); ++i) {
    const std::uint64_t cursor = ring.load_cursor(i);
    if (cursor == ring_format::kFreeCursor) continue;
    if (clients.holding(i)) continue;
    if (ring.free_if_holder_gone(i)) log_cursor_slot_freed(topic, i, cursor);
  }
}

bool Publisher::State::held_by_connected_client(std::uint32_t cursor_idx) {
  for (const Client& c : clients.list) {
    if (c.cursor_idx != cursor_idx) continue;
    if (ring.load_cursor(cursor_idx) == ring_format::kFreeCursor) return false;
    pollfd watched{c.connection.get(), 0, 0};
    return ::poll(&watched, 1, 0) == 0;
  }
  return false;
}

// The publish has succeeded; a failure of the listener here is left for the
// next publish's pass, which accepts again and reports it.
void Publisher::State::accept_in_wakeup_pass(std::vector<std::uint32_t>* accepted_slots) {
  Result<void> accepted = accept_pass(accepted_slots);
  if (accepted) return;
  const auto* io = accepted.error().get_if<Error::Io>();  // the only error an accept gives
  const std::string text = io != nullptr ? io->error.text() : std::string();
  log_debug(log_target::kPublisher, "accepting a subscriber in the wakeup pass failed",
            {LogField::quoted("error", text)});
}

void Publisher::State::remove_client(std::size_t i, DropReason reason) {
  const std::uint32_t slot = clients.remove(i);
  count_up(counters.subscribers_dropped_total, 1);
  const std::size_t left = clients.list.size();
  switch (reason) {
    case DropReason::SlotReleased:
      return log_subscriber_dropped_released(left);
    case DropReason::WakeFailed:
      return log_subscriber_dropped_write_failed(left);
    case DropReason::HungUp:
      return log_subscriber_dropped_hung_up(slot, left);
  }
}

template <class Released>
void Publisher::State::drop_clients_where(Released&& released) {
  for (std::size_t i = 0; i < clients.list.size();) {
    if (released(clients.list[i].cursor_idx)) {
      remove_client(i, DropReason::SlotReleased);
    } else {
      ++i;
    }
  }
}

void Publisher::State::drop_clients_of_slot(std::uint32_t cursor_idx) {
  drop_clients_where([cursor_idx](std::uint32_t slot) { return slot == cursor_idx; });
}

// Drops every client whose cursor slot is free; `connect_count` was loaded
// before the slots.
void Publisher::State::drop_released_clients(std::uint64_t connect_count) {
  clients.swept_connect_count = connect_count;
  clients.sweep_due = false;
  drop_clients_where([this](std::uint32_t slot) { return ring.load_cursor(slot) == ring_format::kFreeCursor; });
}

// Backpressure::Error's check for room: when it scans and why that is sound, see Gate.
bool Publisher::State::ring_full() {
  const std::uint64_t tail = ring.load_tail();
  const std::uint64_t connect_count = ring.load_connect_count();
  if (gate.floor_connect_count == connect_count && tail - gate.floor < ring.capacity()) return false;
  gate.floor = slowest_cursor(tail);
  gate.floor_connect_count = connect_count;
  return tail - gate.floor >= ring.capacity();
}

std::uint64_t Publisher::State::slowest_cursor(std::uint64_t tail) const {
  std::uint64_t slowest = tail;
  for (std::uint32_t i = 0; i < ring.max_subscribers(); ++i) slowest = std::min(slowest, ring.load_cursor(i));
  return slowest;
}

// The record goes to the log first, under the tail's cursor, then to the
// ring. Fullness is never checked again in between: a record the log took
// must reach the ring, or every later append would break the log's cursor
// continuity. So a record that the log accepted but could not sync is still
// written (and reported), while one the log refused is not written at all.
WriteOutcome Publisher::State::write_message(std::span<const std::byte> payload) {
  if (log) {
    const std::uint64_t cursor = ring.load_tail();
    if (auto appended = log->append(cursor, log->timestamp_now(), payload); !appended) {
      const bool accepted = log->pending_cursor() == cursor + 1;
      if (accepted) ring.write_slot(payload);
      return {accepted, Error(std::move(appended.error()))};
    }
  }
  ring.write_slot(payload);
  return {};
}

// The publisher's side of the wakeup handshake (ring.h). The connect count is
// loaded after the pass's fence, so a subscriber connecting right now is
// either accepted here and woken by the walk, or sees the new message itself:
// one whose handshake arrived after the accept at the start of the publish
// would otherwise sleep until the next.
//
// Released slots: a subscriber frees its slot, then adds to the connect count
// (RingBuffer::release_cursor_slot), so a pass that loads the count after it
// sees the free slot; the cursor slots are looked at only then, after a timed
// accept pass, or for a subscriber that asked for a wakeup. A pass always
// fences, even with no client, since the fullness check of the next publish
// relies on it (see ring_full).
void Publisher::State::broadcast_wakeup() {
  RingWriter::begin_wakeup_pass();
  const std::uint64_t connect_count = ring.load_connect_count();
  if (connect_count != accepting.accepted_connect_count) accept_in_wakeup_pass(nullptr);
  if (connect_count != clients.swept_connect_count || clients.sweep_due) drop_released_clients(connect_count);
  if (wake_armed_clients()) wake_late_arrivals();
}

// Returns whether a wakeup request was taken from any flag. Reads the flags
// only, no cursor: a subscriber that is awake does not write its flag, so with
// more than 4 cursor slots (the flags then lie on other lines than the
// cursors) the flag lines stay in this core's cache.
bool Publisher::State::wake_armed_clients() {
  bool took_request = false;
  for (std::size_t i = 0; i < clients.list.size();) {
    const std::uint32_t slot = clients.list[i].cursor_idx;
    if (!ring.take_wakeup_request(slot)) {
      ++i;
      continue;
    }
    took_request = true;
    if (ring.load_cursor(slot) == ring_format::kFreeCursor) {
      remove_client(i, DropReason::SlotReleased);
    } else if (wake_or_drop(i)) {
      ++i;
    }
  }
  return took_request;
}

// An entry whose slot was released and claimed again before it was dropped
// still finds the slot held, and may just have taken the new holder's request:
// that holder armed after adding to the connect count, so a fresh load after a
// second fence sees the add. Whoever arrived that late is accepted now and
// woken whatever its flag says; a spare unit is only a spurious wakeup.
void Publisher::State::wake_late_arrivals() {
  RingWriter::begin_wakeup_pass();
  if (ring.load_connect_count() == accepting.accepted_connect_count) return;
  std::vector<std::uint32_t> arrived;
  accept_in_wakeup_pass(&arrived);
  for (std::size_t i = 0; i < clients.list.size();) {
    const std::uint32_t slot = clients.list[i].cursor_idx;
    if (std::find(arrived.begin(), arrived.end(), slot) == arrived.end()) {
      ++i;
      continue;
    }
    ring.take_wakeup_request(slot);
    if (wake_or_drop(i)) ++i;
  }
}

bool Publisher::State::wake_or_drop(std::size_t i) {
  count_up(counters.wakeups_sent_total, 1);
  if (write_wakeup(clients.list[i].wake_fd.get())) return true;
  remove_client(i, DropReason::WakeFailed);
  return false;
}

std::vector<SlotLag> Publisher::State::occupied_slot_lags(std::uint64_t tail) const {
  std::vector<SlotLag> lags;
  for (std::uint32_t i = 0; i < ring.max_subscribers(); ++i) {
    const std::uint64_t cursor = ring.load_cursor(i);
    if (cursor == ring_format::kFreeCursor) continue;
    lags.emplace_back(i, cursor > tail ? 0 : tail - cursor);
  }
  return lags;
}

Publisher::Publisher() = default;
Publisher::~Publisher() = default;

Result<std::unique_ptr<Publisher>> Publisher::create(std::string_view topic, TopicConfig config) {
  if (auto named = check_topic_name(topic); !named) return io_failure(named.error());
  // Refused before anything reaches the disk: such a ring cannot be built.
  if (!ring_format::file_length(config.capacity, config.slot_size, config.max_subscribers))
    return io_failure(out_of_range_error());

  const std::string dir = join_path(config.dir, topic);
  if (auto made = create_dir_all(dir); !made) return io_failure(made.error());
  // Locals are released in reverse: the ring, then the log, then the lock.
  auto lock = acquire_producer_lock(topic, dir);
  if (!lock) return std::unexpected(std::move(lock.error()));
  // The log comes first: its next cursor is where this publisher's numbering
  // starts, and the ring must show it before its generation changes.
  std::optional<wal::Wal> log;
  if (config.wal.enabled) {
    auto opened = wal::Wal::open(dir, config.wal);
    if (!opened) return std::unexpected(Error(std::move(opened.error())));
    log = std::move(*opened);
  }
  const std::uint64_t first_cursor = log ? log->pending_cursor() : 0;
  auto created = RingBuffer::create_or_reuse(join_path(dir, kRingFileName), config.capacity, config.slot_size,
                                             config.max_subscribers, first_cursor);
  if (!created) return io_failure(created.error());
  RingWriter ring(std::move(*created));
  // Before the socket exists, so before any subscriber of this publisher
  // hands in a slot index: slots of subscribers that ended without releasing
  // them (killed, crashed, or gone with the whole application) would hold this
  // publisher back for good. A live holder keeps its slot: a subscriber still
  // connecting, one of an earlier publisher, one whose process forked. No
  // client of this publisher held one, so no drop is counted.
  for (std::uint32_t i = 0; i < ring.max_subscribers(); ++i) {
    const std::uint64_t cursor = ring.load_cursor(i);
    if (ring.free_if_holder_gone(i)) log_cursor_slot_freed(topic, i, cursor);
  }

  // Read before the socket exists: every subscriber of this publisher counts
  // itself after this.
  const std::uint64_t connect_count = ring.load_connect_count();
  const std::string socket_path = join_path(dir, kSocketFileName);
  (void)remove_file(socket_path);  // a stale socket file or none; either way bind decides
  auto listener = listen_unix(socket_path);
  if (!listener) return io_failure(listener.error());
  auto admission = Admission::open(std::move(*listener), ring.max_subscribers());
  if (!admission) return io_failure(admission.error());

  log_publisher_created(topic, ring.capacity(), ring.slot_size(), log.has_value(), config.backpressure);
  std::unique_ptr<Publisher> publisher(new Publisher());
  publisher->state_ = std::make_unique<State>(std::move(ring), std::move(*admission), std::move(log), std::move(*lock),
                                              config.backpressure, connect_count, topic);
  return publisher;
}

Result<void> Publisher::publish(std::span<const std::byte> payload) {
  State& s = *state_;
  if (payload.size() > s.ring.slot_size())
    return std::unexpected(Error::MessageTooLarge{payload.size(), s.ring.slot_size()});
  if (auto accepted = s.accept_if_due(); !accepted) return accepted;
  if (s.refuses_when_full()) {
    count_up(s.counters.full_rejected_total, 1);
    return std::unexpected(Error::BusFull{});
  }
  WriteOutcome outcome = s.write_message(payload);
  if (outcome.written) {
    count_up(s.counters.published_total, 1);
    s.broadcast_wakeup();
  }
  if (outcome.error) return std::unexpected(std::move(*outcome.error));
  return {};
}

Result<std::size_t> Publisher::publish_many(std::span<const std::span<const std::byte>> payloads) {
  State& s = *state_;
  if (auto accepted = s.accept_if_due(); !accepted) return std::unexpected(std::move(accepted.error()));
  if (payloads.empty()) return 0;
  std::size_t written = 0;
  std::optional<Error> failure;
  for (std::span<const std::byte> payload : payloads) {
    if (payload.size() > s.ring.slot_size()) {
      failure = Error::MessageTooLarge{payload.size(), s.ring.slot_size()};
      break;
    }
    // No wakeup pass fences between the writes of a batch; the fullness
    // check relies on a fence after the last tail store (see ring_full).
    if (written > 0 && s.gate.gates()) RingWriter::fence_after_tail_store();
    if (s.refuses_when_full()) break;
    WriteOutcome outcome = s.write_message(payload);
    if (outcome.written) ++written;
    if (outcome.error) {
      failure = std::move(outcome.error);
      break;
    }
  }
  // Messages written before a failure stay published, counted and signalled.
  if (written > 0) {
    count_up(s.counters.published_total, written);
    s.broadcast_wakeup();
  }
  if (failure) return std::unexpected(std::move(*failure));
  return written;
}

Result<void> Publisher::wait_for_subscribers(std::size_t n, Duration timeout) {
  State& s = *state_;
  const Deadline deadline = Deadline::after(timeout);
  for (;;) {
    if (auto accepted = s.accept_pass(); !accepted) return accepted;
    if (s.clients.list.size() >= n) return {};
    if (deadline.passed()) return std::unexpected(Error::ConnectTimeout::for_subscribers());
    sleep_for(kSubscriberPollInterval);
  }
}

TopicStats Publisher::stats() const {
  const State& s = *state_;
  TopicStats stats;
  stats.tail = s.ring.load_tail();
  std::vector<SlotLag> slot_lags = s.occupied_slot_lags(stats.tail);
  stats.lags.reserve(slot_lags.size());
  for (const SlotLag& slot_lag : slot_lags) stats.lags.push_back(slot_lag.second);
  stats.active_subscribers = stats.lags.size();
  stats.connected_sockets = s.clients.list.size();
  s.counters.fill(stats);
  if (s.log) stats.wal = s.log->stats();
  return stats;
}

std::vector<SlotLag> Publisher::slow_subscribers(std::uint64_t threshold) const {
  std::vector<SlotLag> slow = state_->occupied_slot_lags(state_->ring.load_tail());
  std::erase_if(slow, [threshold](const SlotLag& slot_lag) { return slot_lag.second < threshold; });
  return slow;
}

}  // namespace qorva
