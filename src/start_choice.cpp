#include "start_choice.h"

#include <algorithm>

#include "sys.h"

namespace qorva {
namespace {

// An error met listing or reading the log, reported as it is.
std::unexpected<Error> log_failure(IoError error) { return std::unexpected(Error(wal::WalError(std::move(error)))); }

// Polls the check until it can tell; at most kCatchUpLimit.
Result<bool> settle(LiveLogCheck& check, RingReader& ring, const std::string& topic_dir) {
  for (;;) {
    auto verdict = check.look(ring, topic_dir);
    if (!verdict) return std::unexpected(std::move(verdict.error()));
    if (*verdict) return **verdict;
    sleep_for(kCatchUpPollInterval);
  }
}

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
Result<Start> start_below_tail(RingReader& ring, StartPosition::Kind kind, std::uint64_t start, const LiveRun& run,
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
bool copy_first_message(RingReader& ring, Start& start) {
  std::vector<std::byte> copy;
  if (!ring.try_receive_exact(start.cursor, copy)) return false;
  auto no_files = wal::WalReader{}.read_from(start.cursor);
  if (!no_files) return false;
  start.replay = std::move(*no_files);
  start.copied_first = std::move(copy);
  start.catch_up_end = start.cursor + 1;
  return true;
}

}  // namespace

Result<std::optional<bool>> LiveLogCheck::look(RingReader& ring, const std::string& topic_dir) {
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

Result<std::optional<bool>> LiveLogCheck::open(const RingReader& ring, const std::string& topic_dir) {
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

bool LiveLogCheck::fits(RingReader& ring, const wal::Record& record) {
  if (record.cursor > ring.load_tail()) return false;
  if (ring.try_receive_exact(record.cursor, copy_) && !std::ranges::equal(copy_, record.payload)) return false;
  if (record.cursor + 1 >= run_.tail) reached_ = true;
  return true;
}

Result<void> check_start(StartPosition start) {
  if (start.kind == StartPosition::Kind::From && start.value == ring_format::kFreeCursor)
    return io_failure(out_of_range_error());
  return {};
}

Result<void> keep_start_in_ring(RingReader& ring, Start& start, StartPosition::Kind kind, std::uint64_t tail) {
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
    ring.store_cursor(oldest);
  }
}

Result<Start> choose_start(RingReader& ring, StartPosition position, const std::string& topic_dir) {
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

}  // namespace qorva
