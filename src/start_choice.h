// Where a new subscriber starts reading, chosen once its cursor slot holds
// the ring's tail: from the ring, from the log, or first from the log and then
// from the ring, and whether the log beside a live run is that run's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "error.h"
#include "ring.h"
#include "start_position.h"
#include "wal/reader.h"

namespace qorva {

// How long catching up (and LiveLogCheck, which waits for the same flush)
// waits without progress for the log to bring a message that the ring no
// longer holds, polling once per flush interval, before it reports the
// message as lost. Such a message sits in the publisher's write
// buffer until the flusher's next pass, and a pass waits for its fdatasync,
// which a busy disk can stretch well past 100 ms; a log that cannot be written
// out at all (disk full, flusher dead) never brings it.
constexpr Duration kCatchUpPollInterval = Duration::from_millis(5);
constexpr Duration kCatchUpLimit = Duration::from_millis(1000);

// The oldest message a ring of `capacity` slots can hold under `tail`.
inline std::uint64_t oldest_in_ring(std::uint64_t tail, std::uint64_t capacity) {
  return capacity > tail ? 0 : tail - capacity;
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
  Result<std::optional<bool>> look(RingReader& ring, const std::string& topic_dir);

 private:
  Result<std::optional<bool>> open(const RingReader& ring, const std::string& topic_dir);
  // False when `record` cannot be the live run's.
  bool fits(RingReader& ring, const wal::Record& record);

  LiveRun run_;
  std::optional<wal::WalReplayer> reader_;
  std::optional<Deadline> deadline_;
  bool reached_ = false;  // the log has shown the message below the chosen tail
  std::vector<std::byte> copy_;
};

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

// All ones marks a free cursor slot, so it can never be a start cursor.
Result<void> check_start(StartPosition start);

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
Result<Start> choose_start(RingReader& ring, StartPosition position, const std::string& topic_dir);

// A start the ring alone serves, chosen from a tail loaded before the slot
// held it: the publisher may have written over its first messages meanwhile,
// or be writing over the oldest one (see oldest_kept). An explicit cursor
// there is too old; a history starts at the oldest message left. (Catching up
// from the log reads exact slots and needs no such care.)
Result<void> keep_start_in_ring(RingReader& ring, Start& start, StartPosition::Kind kind, std::uint64_t tail);

}  // namespace qorva
