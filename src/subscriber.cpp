#include "subscriber.h"

#include <algorithm>

#include "fork.h"
#include "logging.h"
#include "names.h"
#include "ring.h"
#include "start_choice.h"
#include "sys.h"
#include "wal/reader.h"
#include "watch_then_sleep.h"

namespace qorva {
namespace {

constexpr Duration kConnectRetryInterval = Duration::from_millis(5);

// Retries opening the ring file every 5 ms until the deadline.
Result<RingBuffer> open_ring_until(const std::string& path, const Deadline& deadline, std::string_view topic) {
  for (;;) {
    if (auto ring = RingBuffer::open(path)) return std::move(*ring);
    if (deadline.passed()) return std::unexpected(Error::ConnectTimeout::for_topic(topic));
    sleep_for(kConnectRetryInterval);
  }
}

// Retries connecting to the publisher's socket every 5 ms until the deadline.
Result<UniqueFd> connect_until(const std::string& path, const Deadline& deadline, std::string_view topic) {
  for (;;) {
    if (auto stream = connect_unix_until(path, deadline)) return std::move(*stream);
    if (deadline.passed()) return std::unexpected(Error::ConnectTimeout::for_topic(topic));
    sleep_for(kConnectRetryInterval);
  }
}

// What replay gave a receive: a record; nothing, as replay is over (or never
// was) and the ring serves from here; or not yet, while it waits for the log.
enum class Replayed { Record, Nothing, NotYet };

// Sleeps one poll interval, but not past `wait_until`; false when there is no
// time left to wait (Deadline::now() never waits).
bool pause_within(const Deadline& wait_until) {
  if (wait_until.passed()) return false;
  sleep_for(std::min(kCatchUpPollInterval, wait_until.remaining()));
  return true;
}

// Whether the ring still numbers as this subscription does. A ring reused by
// a new publisher goes on with our numbering only when that publisher starts
// at or above our cursor (its log continued it). Numbering below our cursor
// reuses numbers we have read, so what we just read, and everything after
// it, belongs to another stream: the subscription has ended for good.
class NumberingCheck {
 public:
  explicit NumberingCheck(std::uint64_t generation) : connected_(generation), read_(generation) {}

  // After a read at `cursor_before`: false once the numbering is lost.
  bool continues(const RingReader& ring, std::uint64_t cursor_before) {
    // The generation sits on the line of the tail the read has just loaded.
    const std::uint64_t generation = ring.load_generation();
    if (generation == read_) return true;
    if (ring.load_first_cursor() < cursor_before) {
      lost_ = true;
      return false;
    }
    read_ = generation;
    return true;
  }
  bool lost() const { return lost_; }
  // Whether another publisher came since the connect, whatever its numbering.
  bool publisher_changed(const RingReader& ring) const { return ring.load_generation() != connected_; }
  std::uint64_t connected_generation() const { return connected_; }

 private:
  std::uint64_t connected_;
  std::uint64_t read_;  // the generation whose numbering the reads last found to continue ours
  bool lost_ = false;
};

// Catching up: each cursor below the connect's tail comes from the ring when
// the live run wrote it and its slot holds exactly that message, else from
// the log. The ring is handed over to only at that tail, which the slot has
// protected from the start.
struct CatchUp {
  wal::WalReplayer replay;
  std::string topic_dir;  // where replay reads the log
  // Cursors below this, the tail seen at connect, are caught up with; the
  // slot keeps its starting value until then.
  std::uint64_t end = 0;
  // Takes from the ring only what the live run wrote, from here on.
  std::uint64_t ring_floor = 0;
  std::optional<LiveLogCheck> log_check;  // see Start
  std::optional<std::vector<std::byte>> copied_first;
  std::optional<Deadline> deadline;  // the bound on time without progress
  // Catching up failed; the next receive ends it (see end_failed_catch_up).
  bool failed = false;

  static std::optional<CatchUp> of(Start& start, const std::string& topic_dir) {
    if (!start.replay) return std::nullopt;
    return CatchUp{.replay = std::move(*start.replay),
                   .topic_dir = topic_dir,
                   .end = start.catch_up_end,
                   .ring_floor = start.first_cursor,
                   .log_check = std::move(start.log_check),
                   .copied_first = std::move(start.copied_first),
                   .deadline = std::nullopt,
                   .failed = false};
  }
};

using Received = Subscriber::Received;

// What a receive that found nothing gives; before_ring's "go on to the ring"
// is std::nullopt.
Received nothing_now() { return std::optional<std::size_t>{}; }

// Receiving into a buffer resized to the message.
struct IntoBuffer {
  std::vector<std::byte>& out;
  ReadResult read(RingReader& ring, std::uint64_t at) { return ring.try_receive(at, out); }
  Received take(const std::vector<std::byte>& payload) {
    out.assign(payload.begin(), payload.end());
    return payload.size();
  }
};

// Receiving into a caller's slice; a longer message is consumed and fails.
struct IntoSlice {
  std::span<std::byte> out;
  ReadResult read(RingReader& ring, std::uint64_t at) { return ring.try_receive_into_slice(at, out); }
  Received take(const std::vector<std::byte>& payload) {
    if (payload.size() > out.size()) return std::unexpected(Error::MessageTooLarge{payload.size(), out.size()});
    std::copy(payload.begin(), payload.end(), out.begin());
    return payload.size();
  }
};

Subscriber::BlockingSteps run_in_place;

}  // namespace

bool publisher_gone(const Error& e) {
  const Error::Io* io = e.get_if<Error::Io>();
  return io != nullptr && (io->error.is(IoOutcome::PublisherDisconnected) ||
                           io->error.is(IoOutcome::PublisherRestarted) || io->error.kind() == IoKind::ConnectionReset);
}

struct Subscriber::State {
  // Declared in the reverse of teardown order. The connection (and the
  // eventfd) close first, so that the publisher sees this subscriber hang up
  // before anyone can claim its slot again; then the slot is freed and its
  // lock dropped, and the ring unmapped; then the log's files are closed.
  std::optional<CatchUp> catch_up;
  RingReader ring;
  std::uint64_t cursor;
  NumberingCheck numbering;
  // An error met by try_receive_deferring_error, reported by the next receive.
  std::optional<Error> deferred_error;
  WatchThenSleep waiter;

  State(RingReader reader, std::uint64_t generation, ProcessLocalFd stream, ProcessLocalFd wake_fd, Start start,
        const std::string& topic_dir)
      : catch_up(CatchUp::of(start, topic_dir)),
        ring(std::move(reader)),
        cursor(start.cursor),
        numbering(generation),
        waiter(std::move(wake_fd), std::move(stream)) {}

  WaitPoint wait_point() { return {ring, cursor, numbering.connected_generation()}; }

  template <class Into>
  Received receive(Into into, const Deadline& deadline, BlockingSteps& steps);
  // Whether a receive has something to give or do before it reads the ring.
  bool owes_before_ring() const { return deferred_error || numbering.lost() || catch_up; }
  template <class Into>
  std::optional<Received> before_ring(Into& into, const Deadline& deadline, BlockingSteps& steps);
  template <class Into>
  Received from_ring(Into& into, const Deadline& deadline, BlockingSteps& steps);
  // The next message of catching up; `wait_until` bounds the waits for the
  // log to bring it. An error ends catching up.
  Result<Replayed> catch_up_next(wal::Record& record, const Deadline& wait_until);
  bool read_exact(wal::Record& record);
  Result<Replayed> take_copied_first(wal::Record& record);
  Result<Replayed> finish_catch_up();
  Result<Replayed> end_failed_catch_up();
  Result<Replayed> fail_catch_up(Error error);
  Result<Replayed> fail_catch_up_too_old();
  template <class Read>
  ReadResult read_next(Read&& read);
  bool read_made_no_progress(std::uint64_t tail_before);
};

// What is owed before the ring, then the ring.
template <class Into>
Received Subscriber::State::receive(Into into, const Deadline& deadline, BlockingSteps& steps) {
  if (owes_before_ring()) [[unlikely]] {
    if (auto settled = before_ring(into, deadline, steps)) return std::move(*settled);
  }
  return from_ring(into, deadline, steps);
}

// An error kept for this receive, an ended subscription, then catching up:
// none when the ring serves from here.
template <class Into>
std::optional<Received> Subscriber::State::before_ring(Into& into, const Deadline& deadline, BlockingSteps& steps) {
  if (deferred_error) return std::unexpected(*std::exchange(deferred_error, std::nullopt));
  if (numbering.lost()) return io_failure(publisher_restarted());
  if (!catch_up) return std::nullopt;
  wal::Record record;
  Result<Replayed> replayed = Replayed::NotYet;
  steps.run([&] { replayed = catch_up_next(record, deadline); });
  if (!replayed) return std::unexpected(std::move(replayed.error()));
  if (*replayed == Replayed::Record) return into.take(record.payload);
  if (*replayed == Replayed::NotYet) return nothing_now();
  return std::nullopt;
}

// A ring read, a wait, again, until a message or the deadline. Steps that
// may block run through `steps`; what lands in `into` is written outside them.
template <class Into>
Received Subscriber::State::from_ring(Into& into, const Deadline& deadline, BlockingSteps& steps) {
  for (;;) {
    const ReadResult read = read_next([&](std::uint64_t at) { return into.read(ring, at); });
    if (numbering.lost()) return io_failure(publisher_restarted());
    if (read.status == ReadStatus::Message) return read.len;
    if (read.status == ReadStatus::TooShort) return std::unexpected(Error::MessageTooLarge{read.len, into.out.size()});
    if (deadline == Deadline::now()) return nothing_now();  // inline: a miss calls nothing
    const Duration remaining = deadline.remaining();        // never(): no clock read
    if (remaining == Duration{}) return nothing_now();
    Result<bool> woken = false;
    steps.run([&] { woken = waiter.wait(wait_point(), deadline, remaining); });
    if (!woken) return std::unexpected(std::move(woken.error()));
    if (!*woken && deadline != Deadline::never()) return nothing_now();
  }
}

Result<Replayed> Subscriber::State::catch_up_next(wal::Record& record, const Deadline& wait_until) {
  CatchUp& c = *catch_up;
  if (c.failed) return end_failed_catch_up();
  if (c.copied_first) return take_copied_first(record);
  bool refreshed = false;
  for (;;) {
    if (cursor >= c.end) return finish_catch_up();
    if (cursor >= c.ring_floor && read_exact(record)) return Replayed::Record;
    if (numbering.lost()) return io_failure(publisher_restarted());
    if (c.log_check) {
      auto verdict = c.log_check->look(ring, c.topic_dir);
      if (!verdict) return fail_catch_up(std::move(verdict.error()));
      if (!*verdict) {
        if (!pause_within(wait_until)) return Replayed::NotYet;
        continue;
      }
      if (!**verdict) return fail_catch_up_too_old();
      c.log_check.reset();
    }
    c.replay.skip_to(cursor);  // what the ring gave is passed over
    auto item = c.replay.next();
    if (item && item->has_value()) {
      record = std::move(**item);
      cursor = record.cursor + 1;
      c.deadline.reset();  // the bound counts time without progress
      return Replayed::Record;
    }
    // A record cut at the live end of the log is only not written out yet.
    if (item && !c.replay.at_live_end()) return fail_catch_up(Error(std::move(item->error())));
    if (!refreshed) {
      if (auto more = c.replay.refresh(c.topic_dir); !more) return fail_catch_up(Error(std::move(more.error())));
      refreshed = true;
      continue;
    }
    if (!c.deadline) c.deadline = Deadline::after(kCatchUpLimit);
    if (c.deadline->passed()) return fail_catch_up_too_old();
    if (!pause_within(wait_until)) return Replayed::NotYet;
    refreshed = false;
  }
}

// The message at the cursor from the ring, if its slot holds exactly it.
bool Subscriber::State::read_exact(wal::Record& record) {
  const std::uint64_t before = cursor;
  if (!ring.try_receive_exact(before, record.payload) || !numbering.continues(ring, before)) return false;
  record.cursor = before;
  cursor = before + 1;
  catch_up->deadline.reset();
  return true;
}

// The message copied out of the ring at connect (see keep_start_in_ring),
// consumed as a ring read would be; the ring serves from the next one on.
Result<Replayed> Subscriber::State::take_copied_first(wal::Record& record) {
  record.payload = std::move(*catch_up->copied_first);
  record.cursor = cursor;
  catch_up.reset();
  cursor += 1;
  ring.store_cursor(cursor);
  return Replayed::Record;
}

// At the connect's tail: from here the slot follows the cursor.
Result<Replayed> Subscriber::State::finish_catch_up() {
  catch_up.reset();
  ring.store_cursor(cursor);
  return Replayed::Nothing;
}

// Neither the ring nor the log brought the message at the cursor in time:
// it is reported, never passed over. Catching up ends; later receives read
// the ring from the cursor.
Result<Replayed> Subscriber::State::fail_catch_up_too_old() {
  return fail_catch_up(Error::CursorTooOld{cursor, oldest_in_ring(ring.load_tail(), ring.capacity())});
}

// Catching up is over for good; the slot keeps the connect's tail until the
// next receive (end_failed_catch_up).
Result<Replayed> Subscriber::State::fail_catch_up(Error error) {
  catch_up->failed = true;
  return std::unexpected(std::move(error));
}

// The slot still holds the connect's tail, which may lie above the cursor
// that the ring serves from now. The publisher caches the slowest cursor and
// looks at the slots again only when the connect count moves, so the slot is
// brought down through rewind_cursor before a ring read stores a cursor below
// it; a plain store would leave the publisher free to write over what is
// still to be read.
Result<Replayed> Subscriber::State::end_failed_catch_up() {
  catch_up.reset();
  if (ring.load_cursor() > cursor) ring.rewind_cursor(cursor);
  return Replayed::Nothing;
}

// Reads at the cursor until a message, or nothing to read now. Messages the
// ring cannot serve are stepped over, each pass moving the cursor forward; the
// passes are bounded by the ring's size, so that every call ends, also over a
// tail that another process pushed far ahead. A read that finds the
// subscription ended gives nothing, and the numbering check says so.
template <class Read>
ReadResult Subscriber::State::read_next(Read&& read) {
  for (std::uint64_t pass = 0; pass <= ring.capacity(); ++pass) {
    const std::uint64_t tail = ring.load_tail();
    const std::uint64_t before = cursor;
    const ReadResult r = read(before);
    if (!numbering.continues(ring, before)) return {};
    if (r.status == ReadStatus::Empty) {
      if (read_made_no_progress(tail)) return r;
      continue;
    }
    if (r.next_cursor <= cursor) return {};
    cursor = r.next_cursor;
    if (r.status != ReadStatus::Skipped) return r;
  }
  return {};
}

// After a read found nothing. A cursor a whole ring behind the tail reads the
// slot that message `tail` goes to: whatever it holds (that newer message, or
// the one of that number a killed publisher left under a numbering that now
// starts lower), the message at the cursor is gone, so the cursor steps over
// it, and the slot with it, rather than spin, and hold a publisher under
// Backpressure::Error back for good. True when there is nothing to read now.
bool Subscriber::State::read_made_no_progress(std::uint64_t tail_before) {
  // Written without cursor + capacity, which overflows near the top of the range.
  if (cursor >= tail_before || tail_before - cursor < ring.capacity()) return true;
  cursor += 1;
  ring.store_cursor(cursor);
  return false;
}

Subscriber::Subscriber() = default;
Subscriber::~Subscriber() = default;

Result<std::unique_ptr<Subscriber>> Subscriber::connect_with(std::string_view topic, const TopicConfig& config,
                                                             Duration timeout, StartPosition start) {
  if (auto named = check_topic_name(topic); !named) return io_failure(named.error());
  if (auto checked = check_start(start); !checked) return std::unexpected(std::move(checked.error()));
  const std::string dir = join_path(config.dir, topic);
  const Deadline deadline = Deadline::after(timeout);

  auto opened = open_ring_until(join_path(dir, kRingFileName), deadline, topic);
  if (!opened) return std::unexpected(std::move(opened.error()));
  auto claimed = RingReader::claim(std::move(*opened), opened->load_tail());
  if (!claimed) return std::unexpected(Error::TooManySubscribers{opened->max_subscribers()});
  // Declared before the connection, so that a failed connect hangs up before
  // it frees the slot, as a subscriber's teardown does.
  RingReader ring = std::move(*claimed);

  auto wake_fd = ProcessLocalFd::open(create_wake_fd);
  if (!wake_fd) return io_failure(wake_fd.error());
  auto connected = connect_until(join_path(dir, kSocketFileName), deadline, topic);
  if (!connected) return std::unexpected(std::move(connected.error()));
  ProcessLocalFd stream(std::move(*connected));
  if (auto sent = send_fd(stream.get(), wake_fd->get(), ring.slot()); !sent) return io_failure(sent.error());
  // Counted after the handshake is queued and before the start cursor is read
  // and the flag armed: the wakeup handshake and joining the ring (both in
  // ring.h) rely on this order.
  ring.add_connect_count();

  auto chosen = choose_start(ring, start, dir);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  const std::uint64_t tail = ring.rewind_cursor(chosen->slot_value);
  if (auto kept = keep_start_in_ring(ring, *chosen, start.kind, tail); !kept) return std::unexpected(kept.error());
  const std::uint64_t generation = ring.load_generation();
  log_subscriber_connected(topic, chosen->cursor, ring.slot(), generation, chosen->replays_log());

  std::unique_ptr<Subscriber> subscriber(new Subscriber());
  subscriber->state_ = std::make_unique<State>(std::move(ring), generation, std::move(stream), std::move(*wake_fd),
                                               std::move(*chosen), dir);
  return subscriber;
}

Subscriber::Received Subscriber::receive(Sink sink, const Deadline& deadline, BlockingSteps& steps) {
  if (sink.buffer_ == nullptr) return state_->receive(IntoSlice{sink.slice_}, deadline, steps);
  return receive_into_buffer(*sink.buffer_, deadline, steps);
}

// The adapters into a buffer come here straight, past the sink's dispatch.
inline Subscriber::Received Subscriber::receive_into_buffer(std::vector<std::byte>& out, const Deadline& deadline,
                                                            BlockingSteps& steps) {
  out.clear();
  return state_->receive(IntoBuffer{out}, deadline, steps);
}

Result<void> Subscriber::receive_into(std::vector<std::byte>& out) {
  auto got = receive_into_buffer(out, Deadline::never(), run_in_place);
  if (!got) return std::unexpected(std::move(got.error()));
  return {};
}

Result<bool> Subscriber::try_receive(std::vector<std::byte>& out) { return receive_until_into(Deadline::now(), out); }

bool Subscriber::try_receive_deferring_error(std::vector<std::byte>& out) {
  auto got = receive_into_buffer(out, Deadline::now(), run_in_place);
  if (got) return got->has_value();
  // Reading on from the ring here would pass over what catching up could not
  // deliver: the error waits for the next receive.
  state_->deferred_error = std::move(got.error());
  return false;
}

Result<bool> Subscriber::receive_until_into(const Deadline& deadline, std::vector<std::byte>& out) {
  auto got = receive_into_buffer(out, deadline, run_in_place);
  if (!got) return std::unexpected(std::move(got.error()));
  return got->has_value();
}

Result<bool> Subscriber::receive_timeout_into(Duration timeout, std::vector<std::byte>& out) {
  return receive_until_into(Deadline::after(timeout), out);
}

Subscriber::Received Subscriber::try_receive_one_into_slice(std::span<std::byte> out) {
  return state_->receive(IntoSlice{out}, Deadline::now(), run_in_place);
}

Result<bool> Subscriber::wait_readable(const Deadline& until) {
  return state_->waiter.wait(state_->wait_point(), until, until.remaining());
}

Result<std::optional<std::vector<std::byte>>> Subscriber::poll_recv() {
  State& s = *state_;
  std::vector<std::byte> message;
  IntoBuffer into{message};
  std::optional<Received> got = s.before_ring(into, Deadline::now(), run_in_place);
  if (!got) {
    auto unit = s.waiter.take_unit();
    if (!unit) return io_failure(unit.error());
    if (!*unit) return std::nullopt;
    if (s.numbering.publisher_changed(s.ring)) {
      log_publisher_restarted(s.numbering.connected_generation(), s.ring.load_generation(), s.ring.slot());
      return io_failure(publisher_restarted());
    }
    got = s.from_ring(into, Deadline::now(), run_in_place);
  }
  if (!*got) return std::unexpected(std::move(got->error()));
  if (!**got) return std::nullopt;
  return message;
}

bool Subscriber::arm_wakeup() { return state_->waiter.arm(state_->wait_point()); }
std::expected<bool, IoError> Subscriber::drain_wakeup() { return state_->waiter.take_unit(); }

int Subscriber::wake_fd() const { return state_->waiter.wake_fd(); }
int Subscriber::stream_fd() const { return state_->waiter.stream_fd(); }
std::uint64_t Subscriber::cursor() const { return state_->cursor; }
std::uint64_t Subscriber::cursor_idx() const { return state_->ring.slot(); }
std::uint32_t Subscriber::max_payload_size() const { return state_->ring.slot_size(); }

std::uint64_t Subscriber::lag() const {
  const std::uint64_t tail = state_->ring.load_tail();
  return state_->cursor > tail ? 0 : tail - state_->cursor;
}

}  // namespace qorva
