#include "subscriber.h"

#include <algorithm>
#include <limits>

#include "fork.h"
#include "logging.h"
#include "names.h"
#include "ring.h"
#include "sys.h"
#include "waker.h"
#include "wal/reader.h"

namespace qorva {
namespace {

constexpr Duration kConnectRetryInterval = Duration::from_millis(5);
// How long catching up waits without progress for the log to bring a message
// that the ring no longer holds, polling once per flush interval, before it
// reports the message as lost. Such a message sits in the publisher's write
// buffer until the flusher's next pass, and a pass waits for its fdatasync,
// which a busy disk can stretch well past 100 ms; a log that cannot be written
// out at all (disk full, flusher dead) never brings it.
constexpr Duration kCatchUpPollInterval = Duration::from_millis(5);
constexpr Duration kCatchUpLimit = Duration::from_millis(1000);
constexpr const char* kPublisherRestartedText = "publisher restarted (generation changed)";

// How long a blocking wait watches the tail before it arms its flag and
// sleeps. Sleeping costs the subscriber a poll and the publisher an eventfd
// write, several microseconds each on a virtual machine, where waking a halted
// vCPU is slow: a subscriber that keeps up with a fast publisher would pay
// that for nearly every message. The window adapts to the stream, from none
// (messages come far apart) through the shortest to the longest.
constexpr std::uint32_t kShortestWatchNanos = 5'000;
constexpr std::uint32_t kLongestWatchNanos = 50'000;
constexpr Duration kLongestWatch{0, kLongestWatchNanos};

// The watch window: doubled after a sleep that ended within the longest
// window (a longer watch would have saved it), halved after one that did not
// and dropped once below the shortest, so a dense stream keeps its
// subscribers awake and a sparse one spends no processor time watching.
class WatchWindow {
 public:
  Duration length() const { return Duration{0, nanos_}; }
  void after_sleep(bool within_longest) {
    if (within_longest) {
      nanos_ = std::clamp(2 * nanos_, kShortestWatchNanos, kLongestWatchNanos);
    } else {
      nanos_ = nanos_ / 2 < kShortestWatchNanos ? 0 : nanos_ / 2;
    }
  }

 private:
  std::uint32_t nanos_ = kLongestWatchNanos;
};

// What a timed wait may spend watching without passing its deadline: the
// part of `remaining` below the whole milliseconds that its poll waits.
Duration below_whole_millis(Duration remaining) {
  if (poll_millis(remaining) == std::numeric_limits<int>::max()) return kLongestWatch;
  return Duration{0, remaining.nanos % 1'000'000};
}

// Where the poll of a timed wait ends: `remaining`, the time just read as left
// to `until`, rounded down to whole milliseconds, so that the poll, which
// rounds up, never waits past `until`. Taken from `until` rather than from a
// new clock reading.
Deadline sleep_end(const Deadline& until, Duration remaining) {
  if (poll_millis(remaining) == 0) return Deadline::now();
  return until.earlier_by(Duration{0, remaining.nanos % 1'000'000});
}

// A wait that ended without a unit: its own timeout, no unit left, or ETIMEDOUT.
bool is_quiet_wait_end(const IoError& e) { return e.kind() == IoKind::WouldBlock || e.kind() == IoKind::TimedOut; }

// All ones marks a free cursor slot, so it can never be a start cursor.
Result<void> check_start(StartPosition start) {
  if (start.kind == StartPosition::Kind::From && start.value == ring_format::kFreeCursor)
    return io_failure(out_of_range_error());
  return {};
}

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

// The oldest message a ring of `capacity` slots can hold under `tail`.
std::uint64_t oldest_in_ring(std::uint64_t tail, std::uint64_t capacity) {
  return capacity > tail ? 0 : tail - capacity;
}

// An error met listing or reading the log, reported as it is.
std::unexpected<Error> log_failure(IoError error) {
  return std::unexpected(Error(wal::WalError{wal::WalError::Io{std::move(error)}}));
}

// The ring's words a start is chosen from, as the live publisher left them.
struct LiveRun {
  std::uint64_t generation = 0;
  std::uint64_t first_cursor = 0;  // the live publisher's first message
  std::uint64_t tail = 0;
};

// Whether a log found beside a live run that numbers from 0 is that run's
// own. Such a run either keeps a log that was empty when it started, or keeps
// none and leaves an older run's log in place, whose numbers it gives out
// again. Its own log cannot hold a record the tail has not reached (a record
// is appended while the tail stands at its cursor) nor one that differs from
// the same message in the ring, and it holds every message below the tail
// once the publisher's buffer is written out. An older log breaks one of these
// unless it ends right at the live tail with the very bytes the live run
// published last, which no reader of the files can tell apart.
class LiveLogCheck {
 public:
  explicit LiveLogCheck(const LiveRun& run) : run_(run) {}

  // One look at what the log holds now: true once it has kept step with the
  // ring up to the tail the start was chosen from; false once it has not, a
  // new publisher came, or kCatchUpLimit passed since the first look; none
  // while it cannot tell yet. Reads the log from the ring's oldest message at
  // that tail to the files' end. Errors: Wal, when the log cannot be read.
  Result<std::optional<bool>> look(RingBuffer& ring, const std::string& topic_dir);

 private:
  Result<std::optional<bool>> open(const RingBuffer& ring, const std::string& topic_dir);
  // False when `record` cannot be the live run's.
  bool fits(RingBuffer& ring, const wal::Record& record);

  LiveRun run_;
  std::optional<wal::WalReplayer> reader_;
  std::optional<Deadline> deadline_;
  bool reached_ = false;  // the log has shown the message below the chosen tail
  std::vector<std::byte> copy_;
};

Result<std::optional<bool>> LiveLogCheck::look(RingBuffer& ring, const std::string& topic_dir) {
  if (ring.load_generation() != run_.generation) return false;
  if (!deadline_) deadline_ = Deadline::after(kCatchUpLimit);
  if (!reader_) {
    auto opened = open(ring, topic_dir);
    if (!opened || opened->has_value()) return opened;
  }
  for (bool refreshed = false;;) {
    auto item = reader_->next();
    if (item && item->has_value()) {
      if (!fits(ring, **item)) return false;
      continue;
    }
    if (item && !reader_->at_live_end()) return std::unexpected(Error(std::move(item->error())));
    // The end of what the files hold now.
    if (reached_) return true;
    if (refreshed) break;
    if (auto more = reader_->refresh(topic_dir); !more) return std::unexpected(Error(std::move(more.error())));
    refreshed = true;
  }
  if (deadline_->passed()) return false;
  return std::nullopt;
}

Result<std::optional<bool>> LiveLogCheck::open(const RingBuffer& ring, const std::string& topic_dir) {
  auto index = wal::WalReader::open(topic_dir);
  if (!index) return log_failure(index.error());
  if (!index->has_segments()) return false;
  const auto& segments = index->segment_paths();
  // A segment is made while the tail stands at its first cursor.
  if (segments.rbegin()->first > ring.load_tail()) return false;
  const std::uint64_t from = std::max(oldest_in_ring(run_.tail, ring.capacity()), segments.begin()->first);
  if (from >= run_.tail) return false;  // nothing below the tail to serve
  auto reader = index->read_from(from);
  if (!reader) return std::unexpected(Error(std::move(reader.error())));
  reader_ = std::move(*reader);
  return std::nullopt;
}

bool LiveLogCheck::fits(RingBuffer& ring, const wal::Record& record) {
  if (record.cursor > ring.load_tail()) return false;
  if (ring.try_receive_exact(record.cursor, copy_) && !std::ranges::equal(copy_, record.payload)) return false;
  if (record.cursor + 1 >= run_.tail) reached_ = true;
  return true;
}

// Polls the check until it can tell; at most kCatchUpLimit.
Result<bool> settle(LiveLogCheck& check, RingBuffer& ring, const std::string& topic_dir) {
  for (;;) {
    auto verdict = check.look(ring, topic_dir);
    if (!verdict) return std::unexpected(std::move(verdict.error()));
    if (*verdict) return **verdict;
    sleep_for(kCatchUpPollInterval);
  }
}

// Where reading starts, what the cursor slot holds until then, and, for a
// start below the tail, the log replay that serves what the ring does not
// hold, up to `catch_up_end`.
struct Start {
  std::uint64_t cursor = 0;
  std::uint64_t slot_value = 0;
  std::optional<wal::WalReplayer> replay;
  std::uint64_t catch_up_end = 0;
  std::uint64_t chosen_tail = 0;   // the tail the start was chosen from
  std::uint64_t first_cursor = 0;  // the live run's; the ring serves nothing below it
  // Present while the log must still show itself the live run's own before
  // it serves a message (catching up checks it when the ring fails it).
  std::optional<LiveLogCheck> log_check;
  // The first message, copied from the ring at connect (keep_start_in_ring);
  // `replay` then has no file to read.
  std::optional<std::vector<std::byte>> copied_first;

  bool replays_log() const { return replay.has_value() && !copied_first; }
};

Start ring_start(std::uint64_t cursor) {
  Start start;
  start.cursor = start.slot_value = cursor;
  return start;
}

// A start below the tail without a log to serve it: an explicit cursor below
// what the ring serves is too old; a history is moved up by keep_start_in_ring.
Result<Start> ring_alone(StartPosition::Kind kind, std::uint64_t start, std::uint64_t ring_oldest) {
  if (kind == StartPosition::Kind::From && start < ring_oldest)
    return std::unexpected(Error::CursorTooOld{start, ring_oldest});
  return ring_start(start);
}

// A start below the tail. The ring serves a message only when the live run
// wrote it: a slot below the run's first cursor holds an earlier run's
// message, which may be one of another numbering (a run without the log) or
// one a power loss tore (the ring has no checksum). Those come from the log,
// checksummed. At or above the first cursor, a slot may have been written over
// since, so catching up reads each message up to the tail from the ring if it
// holds it, else from the log. Without such a log the ring is the only source.
Result<Start> start_below_tail(RingBuffer& ring, StartPosition::Kind kind, std::uint64_t start, const LiveRun& run,
                               const std::string& topic_dir) {
  const std::uint64_t ring_oldest = std::max(oldest_in_ring(run.tail, ring.capacity()), run.first_cursor);
  const bool from = kind == StartPosition::Kind::From;
  auto index = wal::WalReader::open(topic_dir);
  if (!index) return log_failure(index.error());
  if (!index->has_segments()) return ring_alone(kind, start, ring_oldest);
  const std::uint64_t first_logged = index->segment_paths().begin()->first;
  if (start < first_logged) {
    // A history reaches back to what the log holds; an explicit cursor the
    // log does not hold is served by the ring alone where the ring holds it,
    // and is too old for the log otherwise (read_from says so).
    if (!from)
      start = first_logged;
    else if (start >= ring_oldest && ring.holds(start))
      return ring_start(start);
  }
  if (start >= run.tail) return ring_start(start);
  std::optional<LiveLogCheck> check;
  if (run.first_cursor == 0) {
    check.emplace(run);
    // Only the log can serve this start: whose log it is is settled now.
    if (start < ring_oldest) {
      auto own = settle(*check, ring, topic_dir);
      if (!own) return std::unexpected(std::move(own.error()));
      if (!*own) return ring_alone(kind, start, ring_oldest);
      check.reset();
    }
  }
  auto replay = index->read_from(start);
  if (!replay) return std::unexpected(Error(std::move(replay.error())));
  // The slot holds the publisher back from what the ring still has to give.
  Start chosen = ring_start(start);
  if (start < run.first_cursor || !ring.holds(start)) chosen.slot_value = run.tail;
  chosen.replay = std::move(*replay);
  chosen.catch_up_end = run.tail;
  chosen.log_check = std::move(check);
  return chosen;
}

// The oldest message a start chosen from `chosen_tail` can count on, now that
// its slot holds it and `tail` was loaded after the fence that showed it. A
// publisher that had not seen the slot yet wrote at most message `tail`, so
// what lies below `tail - capacity` may be gone. `tail - capacity` itself is
// what the write of `tail` goes over, and that write may have passed its
// fullness check before the slot showed, whether or not the tail has moved
// since: it is returned only when the tail has not moved, and must then be
// copied out at once (keep_start_in_ring); otherwise the limit is the next one.
std::uint64_t oldest_kept(std::uint64_t chosen_tail, std::uint64_t tail, std::uint64_t capacity) {
  const std::uint64_t oldest = oldest_in_ring(tail, capacity);
  return tail != chosen_tail && tail >= capacity ? oldest + 1 : oldest;
}

// Copies message `start.cursor` out of the ring if its slot still holds it;
// catching up then serves it first, and the ring the rest.
bool copy_first_message(RingBuffer& ring, Start& start) {
  std::vector<std::byte> copy;
  if (!ring.try_receive_exact(start.cursor, copy)) return false;
  auto no_files = wal::WalReader{}.read_from(start.cursor);
  if (!no_files) return false;
  start.replay = std::move(*no_files);
  start.copied_first = std::move(copy);
  start.catch_up_end = start.cursor + 1;
  return true;
}

// A start the ring alone serves, chosen from a tail loaded before the slot
// held it: the publisher may have written over its first messages meanwhile,
// or be writing over the oldest one (see oldest_kept). An explicit cursor
// there is too old; a history starts at the oldest message left. (Catching up
// from the log reads exact slots and needs no such care.)
Result<void> keep_start_in_ring(RingBuffer& ring, std::uint32_t slot, Start& start, StartPosition::Kind kind,
                                std::uint64_t tail) {
  if (start.replay) return {};
  std::uint64_t oldest = std::max(oldest_kept(start.chosen_tail, tail, ring.capacity()), start.first_cursor);
  const bool written_over_next_exists = tail >= ring.capacity();
  for (;;) {
    if (start.cursor >= oldest) {
      const bool at_risk = written_over_next_exists && start.cursor == tail - ring.capacity();
      if (!at_risk || copy_first_message(ring, start)) return {};
      oldest = start.cursor + 1;
    }
    if (kind == StartPosition::Kind::From) return std::unexpected(Error::CursorTooOld{start.cursor, oldest});
    start.cursor = start.slot_value = oldest;
    ring.store_cursor(slot, oldest);
  }
}

// Which numbering the start belongs to. The ring serves only what the live
// publisher wrote, from its first cursor on (read after the generation that
// names it). Below that, the log serves, and only when the live run continues
// the log's numbering; the subscriber's own log setting says nothing about
// the publisher's. A publisher with the log on starts at its log's next
// cursor, one with the log off at 0: a first cursor above 0 says the live run
// keeps the log and continues it. A first cursor of 0 leaves both open, a
// run logging over an empty log or a run without one beside an older log;
// LiveLogCheck tells them apart by whether the log keeps step with the ring.
// Otherwise an explicit cursor the ring does not serve is too old, and a
// history is moved up to what the ring serves.
Result<Start> choose_start(RingBuffer& ring, StartPosition position, const std::string& topic_dir) {
  LiveRun run;
  run.generation = ring.load_generation();
  run.first_cursor = ring.load_first_cursor();
  run.tail = ring.load_tail();
  std::uint64_t start = run.tail;
  switch (position.kind) {
    case StartPosition::Kind::Tail:
      break;
    case StartPosition::Kind::History:
      start = position.value > run.tail ? 0 : run.tail - position.value;
      break;
    case StartPosition::Kind::From:
      start = position.value;
      break;
  }
  Result<Start> chosen =
      start >= run.tail ? ring_start(start) : start_below_tail(ring, position.kind, start, run, topic_dir);
  if (chosen) {
    chosen->chosen_tail = run.tail;
    chosen->first_cursor = run.first_cursor;
  }
  return chosen;
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

// The ring mapping and the cursor slot held in it, from the claim on. The
// slot is freed, and its lock dropped, when this is destroyed, so that a
// failed connect never leaks a slot and the next subscriber may claim it at
// once; then the ring is unmapped. A copy inherited by a forked child only
// unmaps: the slot belongs to the parent.
class HeldSlot {
 public:
  HeldSlot(RingBuffer ring, std::uint32_t idx) : ring_(std::move(ring)), idx_(idx) {}
  HeldSlot(HeldSlot&& other) noexcept : ring_(std::move(other.ring_)), idx_(std::exchange(other.idx_, std::nullopt)) {}
  HeldSlot& operator=(HeldSlot&&) = delete;
  ~HeldSlot() {
    if (idx_ && epoch_.in_origin()) ring_.release_cursor_slot(*idx_);
  }

  RingBuffer& ring() { return ring_; }
  const RingBuffer& ring() const { return ring_; }
  std::uint32_t idx() const { return *idx_; }

 private:
  RingBuffer ring_;
  std::optional<std::uint32_t> idx_;  // none once moved from
  ForkEpoch epoch_;
};

// Whether the ring still numbers as this subscription does. A ring reused by
// a new publisher goes on with our numbering only when that publisher starts
// at or above our cursor (its log continued it). Numbering below our cursor
// reuses numbers we have read, so what we just read, and everything after
// it, belongs to another stream: the subscription has ended for good.
class NumberingCheck {
 public:
  explicit NumberingCheck(std::uint64_t generation) : connected_(generation), read_(generation) {}

  // After a read at `cursor_before`: false once the numbering is lost.
  bool continues(const RingBuffer& ring, std::uint64_t cursor_before) {
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
  bool publisher_changed(const RingBuffer& ring) const { return ring.load_generation() != connected_; }
  std::uint64_t connected_generation() const { return connected_; }

 private:
  std::uint64_t connected_;
  std::uint64_t read_;  // the generation whose numbering the reads last found to continue ours
  bool lost_ = false;
};

// What a wait watches and arms.
struct WaitPoint {
  RingBuffer& ring;
  std::uint32_t slot;
  std::uint64_t cursor;
  const NumberingCheck& numbering;
};

// How a subscriber waits for the next message: it watches the tail for a
// window that adapts to the stream, then arms its wakeup flag and sleeps on
// its eventfd until the publisher writes a unit or hangs up (the wakeup
// handshake, ring.h).
class WatchThenSleep {
 public:
  WatchThenSleep(ProcessLocalFd wake_fd, ProcessLocalFd stream)
      : wake_fd_(std::move(wake_fd)), stream_(std::move(stream)) {}

  // Watches first, for the window but at most `watch_limit`, then sleeps
  // until `sleep_until`; true when worth reading again. The sleep tells the
  // window how far apart the messages come.
  Result<bool> wait(const WaitPoint& at, const Deadline& sleep_until, Duration watch_limit);
  // The event loop's arming: true (flag disarmed) when a message is there.
  bool arm(const WaitPoint& at);
  // Consumes one unit: true when one was pending.
  std::expected<bool, IoError> take_unit();

  int wake_fd() const { return wake_fd_.get(); }
  int stream_fd() const { return stream_.get(); }

 private:
  Result<bool> sleep_until_woken(const WaitPoint& at, const Deadline& until);
  Result<bool> wait_for_unit(const WaitPoint& at, const Deadline& until);
  Result<void> consume_unit_left();

  // Closed in a forked child at once: a child must keep neither the
  // publisher's view of this subscriber as connected nor the slot's lock,
  // which the ring's own descriptor carries. The stream is declared last, so
  // it is closed first.
  ProcessLocalFd wake_fd_;
  ProcessLocalFd stream_;
  WatchWindow window_;
  // A wait saw a wakeup unit and left it to be consumed before the next
  // arming, off the way from the wakeup to the message.
  bool unit_left_ = false;
};

Result<bool> WatchThenSleep::wait(const WaitPoint& at, const Deadline& sleep_until, Duration watch_limit) {
  if (watch_limit == Duration{}) return sleep_until_woken(at, sleep_until);
  const Deadline longest = Deadline::after(kLongestWatch);
  const Duration watch_for = std::min(window_.length(), watch_limit);
  if (watch_for != Duration{} && at.ring.watch_tail(at.cursor, Deadline::after(watch_for))) return true;
  Result<bool> woken = sleep_until_woken(at, sleep_until);
  if (woken) window_.after_sleep(*woken && !longest.passed());
  return woken;
}

// The subscriber's side of the wakeup handshake (ring.h).
Result<bool> WatchThenSleep::sleep_until_woken(const WaitPoint& at, const Deadline& until) {
  if (auto consumed = consume_unit_left(); !consumed) return std::unexpected(std::move(consumed.error()));
  if (at.cursor < at.ring.arm_wakeup(at.slot)) {
    at.ring.disarm_wakeup(at.slot);
    return true;
  }
  Result<bool> woken = wait_for_unit(at, until);
  at.ring.disarm_wakeup(at.slot);
  // A publisher that published its last messages and left while we slept
  // shows both a unit and a hang-up, and the hang-up wins the poll: what it
  // wrote is still in the ring, so that is read first. Once the cursor reaches
  // the tail the hang-up is reported.
  if (!woken && woken.error().is(IoOutcome::PublisherDisconnected) && at.cursor < at.ring.load_tail()) return true;
  return woken;
}

Result<bool> WatchThenSleep::wait_for_unit(const WaitPoint& at, const Deadline& until) {
  if (auto polled = poll_wakeup(wake_fd_.get(), stream_.get(), until); !polled) {
    if (is_quiet_wait_end(polled.error())) return false;
    return io_failure(polled.error());
  }
  unit_left_ = true;
  if (at.numbering.publisher_changed(at.ring)) return io_failure(publisher_restarted());
  return true;
}

// Before arming, never after (the wakeup handshake, ring.h).
Result<void> WatchThenSleep::consume_unit_left() {
  if (!std::exchange(unit_left_, false)) return {};
  if (auto consumed = read_wakeup(wake_fd_.get()); !consumed && consumed.error().kind() != IoKind::WouldBlock)
    return io_failure(consumed.error());
  return {};
}

bool WatchThenSleep::arm(const WaitPoint& at) {
  if (at.cursor >= at.ring.arm_wakeup(at.slot)) return false;
  at.ring.disarm_wakeup(at.slot);
  return true;
}

std::expected<bool, IoError> WatchThenSleep::take_unit() {
  unit_left_ = false;  // the event loop consumes the units from here
  auto consumed = read_wakeup(wake_fd_.get());
  if (consumed) return true;
  if (consumed.error().kind() == IoKind::WouldBlock) return false;
  return std::unexpected(consumed.error());
}

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

// A receive's outcome: the message's length, or none.
using Received = Result<std::optional<std::size_t>>;

// Receiving into a buffer resized to the message.
struct IntoBuffer {
  std::vector<std::byte>& out;
  ReadResult read(RingBuffer& ring, std::uint32_t slot, std::uint64_t at) { return ring.try_receive(slot, at, out); }
  Result<std::optional<std::size_t>> take(const std::vector<std::byte>& payload) {
    out.assign(payload.begin(), payload.end());
    return payload.size();
  }
};

// Receiving into a caller's slice; a longer message is consumed and fails.
struct IntoSlice {
  std::span<std::byte> out;
  ReadResult read(RingBuffer& ring, std::uint32_t slot, std::uint64_t at) {
    return ring.try_receive_into_slice(slot, at, out);
  }
  Result<std::optional<std::size_t>> take(const std::vector<std::byte>& payload) {
    if (payload.size() > out.size()) return std::unexpected(Error::MessageTooLarge{payload.size(), out.size()});
    std::copy(payload.begin(), payload.end(), out.begin());
    return payload.size();
  }
};

Subscriber::BlockingSteps run_in_place;

}  // namespace

IoError publisher_restarted() {
  return IoError::fixed(IoKind::UnexpectedEof, kPublisherRestartedText, IoOutcome::PublisherRestarted);
}

bool publisher_gone(const Error& e) {
  const Error::Io* io = e.get_if<Error::Io>();
  return io != nullptr && (io->error.is(IoOutcome::PublisherDisconnected) ||
                           io->error.is(IoOutcome::PublisherRestarted) || io->error.kind() == IoKind::ConnectionReset);
}

struct Subscriber::State {
  // Declared in the reverse of teardown order. The connection closes first,
  // so that the publisher sees this subscriber hang up before anyone can
  // claim its slot again; then the slot is freed and its lock dropped, and
  // the ring unmapped; then the log's files are closed.
  std::optional<CatchUp> catch_up;
  HeldSlot held;
  std::uint64_t cursor;
  NumberingCheck numbering;
  // An error met by try_receive_deferring_error, reported by the next receive.
  std::optional<Error> deferred_error;
  WatchThenSleep waiter;

  State(HeldSlot slot, std::uint64_t generation, ProcessLocalFd stream, ProcessLocalFd wake_fd, Start start,
        const std::string& topic_dir)
      : catch_up(CatchUp::of(start, topic_dir)),
        held(std::move(slot)),
        cursor(start.cursor),
        numbering(generation),
        waiter(std::move(wake_fd), std::move(stream)) {}

  RingBuffer& ring() { return held.ring(); }
  WaitPoint wait_point() { return {ring(), held.idx(), cursor, numbering}; }

  template <class Into>
  Received receive(Into into, const Deadline& deadline, BlockingSteps& steps);
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
  Result<bool> wait_readable(const Deadline& until, Duration remaining);
};

// What is owed before the ring, then the ring.
template <class Into>
Received Subscriber::State::receive(Into into, const Deadline& deadline, BlockingSteps& steps) {
  if (auto settled = before_ring(into, deadline, steps)) return std::move(*settled);
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
  Result<Replayed> replayed = Replayed::Nothing;
  steps.run([&] { replayed = catch_up_next(record, deadline); });
  if (!replayed) return std::unexpected(std::move(replayed.error()));
  if (*replayed == Replayed::Record) return into.take(record.payload);
  if (*replayed == Replayed::NotYet) return std::optional<std::size_t>{};
  return std::nullopt;
}

// A ring read, a wait, again, until a message or the deadline. Steps that
// may block run through `steps`; what lands in `into` is written outside them.
template <class Into>
Received Subscriber::State::from_ring(Into& into, const Deadline& deadline, BlockingSteps& steps) {
  for (;;) {
    const ReadResult read = read_next([&](std::uint64_t at) { return into.read(ring(), held.idx(), at); });
    if (numbering.lost()) return io_failure(publisher_restarted());
    if (read.status == ReadStatus::Message) return read.len;
    if (read.status == ReadStatus::TooShort) return std::unexpected(Error::MessageTooLarge{read.len, into.out.size()});
    // Deadline::never() reads no clock.
    const Duration remaining = deadline.remaining();
    if (remaining == Duration{}) return std::nullopt;
    Result<bool> woken = false;
    steps.run([&] { woken = wait_readable(deadline, remaining); });
    if (!woken) return std::unexpected(std::move(woken.error()));
    if (!*woken && deadline != Deadline::never()) return std::nullopt;
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
      auto verdict = c.log_check->look(ring(), c.topic_dir);
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
  if (!ring().try_receive_exact(before, record.payload) || !numbering.continues(ring(), before)) return false;
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
  ring().store_cursor(held.idx(), cursor);
  return Replayed::Record;
}

// At the connect's tail: from here the slot follows the cursor.
Result<Replayed> Subscriber::State::finish_catch_up() {
  catch_up.reset();
  ring().store_cursor(held.idx(), cursor);
  return Replayed::Nothing;
}

// Neither the ring nor the log brought the message at the cursor in time:
// it is reported, never passed over. Catching up ends; later receives read
// the ring from the cursor.
Result<Replayed> Subscriber::State::fail_catch_up_too_old() {
  return fail_catch_up(Error::CursorTooOld{cursor, oldest_in_ring(ring().load_tail(), ring().capacity())});
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
  if (ring().load_cursor(held.idx()) > cursor) ring().rewind_cursor(held.idx(), cursor);
  return Replayed::Nothing;
}

// Reads at the cursor until a message, or nothing to read now. Messages the
// ring cannot serve are stepped over, each pass moving the cursor forward; the
// passes are bounded by the ring's size, so that every call ends, also over a
// tail that another process pushed far ahead. A read that finds the
// subscription ended gives nothing, and the numbering check says so.
template <class Read>
ReadResult Subscriber::State::read_next(Read&& read) {
  for (std::uint64_t pass = 0; pass <= ring().capacity(); ++pass) {
    const std::uint64_t tail = ring().load_tail();
    const std::uint64_t before = cursor;
    const ReadResult r = read(before);
    if (!numbering.continues(ring(), before)) return {};
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
  if (cursor >= tail_before || tail_before - cursor < ring().capacity()) return true;
  cursor += 1;
  ring().store_cursor(held.idx(), cursor);
  return false;
}

// `remaining` is the time just read as left to `until`: before a deadline the
// sleep lasts its whole milliseconds, rounded down, and the watch only the
// rest, so that the wait never ends after `until`.
Result<bool> Subscriber::State::wait_readable(const Deadline& until, Duration remaining) {
  if (until == Deadline::never()) return waiter.wait(wait_point(), until, kLongestWatch);
  return waiter.wait(wait_point(), sleep_end(until, remaining), below_whole_millis(remaining));
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
  auto claimed = opened->claim_cursor_slot(opened->load_tail());
  if (!claimed) return std::unexpected(Error::TooManySubscribers{opened->max_subscribers()});
  // Declared before the connection, so that a failed connect hangs up before
  // it frees the slot, as a subscriber's teardown does.
  HeldSlot held(std::move(*opened), *claimed);
  RingBuffer& ring = held.ring();

  auto wake_fd = ProcessLocalFd::open(create_wake_fd);
  if (!wake_fd) return io_failure(wake_fd.error());
  auto connected = connect_until(join_path(dir, kSocketFileName), deadline, topic);
  if (!connected) return std::unexpected(std::move(connected.error()));
  ProcessLocalFd stream(std::move(*connected));
  if (auto sent = send_fd(stream.get(), wake_fd->get(), held.idx()); !sent) return io_failure(sent.error());
  // Counted after the handshake is queued and before the start cursor is read
  // and the flag armed: the wakeup handshake and joining the ring (both in
  // ring.h) rely on this order.
  ring.add_connect_count();

  auto chosen = choose_start(ring, start, dir);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  const std::uint64_t tail = ring.rewind_cursor(held.idx(), chosen->slot_value);
  if (auto kept = keep_start_in_ring(ring, held.idx(), *chosen, start.kind, tail); !kept)
    return std::unexpected(kept.error());
  const std::uint64_t generation = ring.load_generation();
  log_subscriber_connected(topic, chosen->cursor, held.idx(), generation, chosen->replays_log());

  std::unique_ptr<Subscriber> subscriber(new Subscriber());
  subscriber->state_ = std::make_unique<State>(std::move(held), generation, std::move(stream), std::move(*wake_fd),
                                               std::move(*chosen), dir);
  return subscriber;
}

Result<std::optional<std::size_t>> Subscriber::receive(Sink sink, const Deadline& deadline, BlockingSteps& steps) {
  if (sink.buffer_ == nullptr) return state_->receive(IntoSlice{sink.slice_}, deadline, steps);
  sink.buffer_->clear();
  return state_->receive(IntoBuffer{*sink.buffer_}, deadline, steps);
}

Result<std::optional<std::size_t>> Subscriber::receive(Sink sink, const Deadline& deadline) {
  return receive(sink, deadline, run_in_place);
}

Result<void> Subscriber::receive_into(std::vector<std::byte>& out) {
  auto got = receive(Sink::growing(out), Deadline::never());
  if (!got) return std::unexpected(std::move(got.error()));
  return {};
}

Result<bool> Subscriber::try_receive(std::vector<std::byte>& out) { return receive_until_into(Deadline::now(), out); }

bool Subscriber::try_receive_deferring_error(std::vector<std::byte>& out) {
  auto got = receive(Sink::growing(out), Deadline::now());
  if (got) return got->has_value();
  // Reading on from the ring here would pass over what catching up could not
  // deliver: the error waits for the next receive.
  state_->deferred_error = std::move(got.error());
  return false;
}

Result<bool> Subscriber::receive_until_into(const Deadline& deadline, std::vector<std::byte>& out) {
  auto got = receive(Sink::growing(out), deadline);
  if (!got) return std::unexpected(std::move(got.error()));
  return got->has_value();
}

Result<bool> Subscriber::receive_timeout_into(Duration timeout, std::vector<std::byte>& out) {
  return receive_until_into(Deadline::after(timeout), out);
}

Result<std::optional<std::size_t>> Subscriber::try_receive_one_into_slice(std::span<std::byte> out) {
  return receive(Sink::slice(out), Deadline::now());
}

bool Subscriber::catching_up() const { return state_->catch_up.has_value(); }

Result<bool> Subscriber::wait_readable(const Deadline& until) {
  return state_->wait_readable(until, until.remaining());
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
    if (s.numbering.publisher_changed(s.ring())) {
      log_publisher_restarted(s.numbering.connected_generation(), s.ring().load_generation(), s.held.idx());
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
std::uint64_t Subscriber::cursor_idx() const { return state_->held.idx(); }
std::uint32_t Subscriber::max_payload_size() const { return state_->held.ring().slot_size(); }

std::uint64_t Subscriber::lag() const {
  const std::uint64_t tail = state_->held.ring().load_tail();
  return state_->cursor > tail ? 0 : tail - state_->cursor;
}

}  // namespace qorva
