// A topic's write-ahead log: the segment files in <topic dir>/wal, the active
// segment being appended to, rotation and retention, and (in
// SyncMode::Periodic) the flusher thread that makes appended records durable
// within one flush interval.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "clock.h"
#include "config.h"
#include "thread_annotations.h"
#include "wal/file.h"
#include "wal/posix_file.h"
#include "wal/wal_error.h"

namespace qorva::wal {

struct LogState;
class Flusher;

// A snapshot of a log's cursors, sizes and counters.
struct WalStats {
  std::uint64_t pending_cursor = 0;        // the cursor the next append must carry
  std::uint64_t durable_cursor = 0;        // records below it count as synced
  std::uint64_t oldest_cursor = 0;         // first cursor of the oldest segment, 0 without one
  std::uint64_t active_segment_bytes = 0;  // the active segment's size, 0 without one
  std::uint64_t total_wal_bytes = 0;       // every indexed segment, the active one included
  std::uint64_t segments = 0;              // indexed segment files, the active one included
  std::uint64_t appends_total = 0;         // successful appends since open
  std::uint64_t append_bytes_total = 0;    // their payload bytes
  std::uint64_t flushes_total = 0;         // successful syncs: flusher, per-record, teardown

  friend bool operator==(const WalStats&, const WalStats&) = default;
};

// One topic's log. The caller must hold the topic's producer lock for the
// Wal's whole life, so no other Wal of the directory exists anywhere. Move-only.
// append, stats and destruction are called by one thread at a time; the
// flusher thread runs beside them. Destruction stops and joins the flusher,
// then writes out and fdatasyncs the active segment (failures are dropped);
// in a process forked from the opener it only closes the descriptors. Until
// then an enabled log counts as open for sync_open_logs (open_logs.h), which
// an exit hook calls for the logs nobody destroys.
class Wal {
 public:
  // Creates <topic_dir>/wal if needed, cuts the torn tail off every segment
  // file, continues numbering after the newest segment's last record, starts
  // a fresh active segment and, under SyncMode::Periodic, the flusher. May
  // take long (reads every segment). Errors: Io (directory, listing), Reader
  // (a segment recovery cannot handle), Writer (the new segment). A thread
  // that cannot be started throws std::runtime_error "failed to spawn thread".
  // Every segment it creates is written through make_file(descriptor).
  static std::expected<Wal, WalError> open(const std::string& topic_dir, const WalConfig& config,
                                           MakeWritableFile make_file = posix_writable_file);

  Wal(Wal&& other) noexcept;
  Wal& operator=(Wal&& other) noexcept;
  ~Wal();

  // Appends one record; `cursor` must be pending_cursor(). Rotates when the
  // record would take the active segment past max_segment_bytes and deletes
  // the oldest segments while the log is over max_total_bytes. Blocks on disk
  // when it creates or rotates a segment, and under SyncMode::EveryAppend.
  // Errors: PayloadTooLarge, FlusherDied, Writer. An error leaves
  // pending_cursor() where it was, except a failed per-record sync: the record
  // was then accepted (pending_cursor() == cursor + 1) but is not known durable.
  std::expected<void, WalError> append(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                       std::span<const std::byte> payload);

  // Never fails. The durable cursor and flush count may be one flusher pass
  // fresher than the segment fields.
  WalStats stats() const;

  std::uint64_t pending_cursor() const;
  std::uint64_t durable_cursor() const;

  // A record time stamp from the log's two clocks: the wall clock read at the
  // end of open plus the monotonic time since, saturating; never goes
  // backwards within one opening, whatever the wall clock does.
  std::uint64_t timestamp_now() const;
  // The same from a monotonic reading the caller has just taken, saving a
  // second clock read on its hot path.
  std::uint64_t timestamp_at(MonotonicTime monotonic) const;

 private:
  friend class WalPeer;  // tests
  Wal() = default;
  void release();
  void shut_down();
  // Leaves the mutex alone on purpose, so the analysis is off for it.
  void release_in_forked_child() QORVA_NO_THREAD_SAFETY_ANALYSIS;

  std::string dir_;
  WalConfig config_;
  MakeWritableFile make_file_;
  // The segment state under its mutex and every shared cell; the flusher
  // thread holds a second reference.
  std::shared_ptr<LogState> state_;
  std::unique_ptr<Flusher> flusher_;  // under SyncMode::Periodic only
  // The wall clock read at the end of open, and the monotonic reading just after.
  std::uint64_t opened_unix_ns_ = 0;
  MonotonicTime opened_at_;
  pid_t owner_pid_ = 0;
};

}  // namespace qorva::wal
