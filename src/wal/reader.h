// Replay of a topic's log from a cursor, for subscribers: an index of the
// segment files, and an iterator over their records from the cursor on. It
// only reads (no lock, no repair) and works beside a live publisher that
// appends to, rotates or deletes the same files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "io_error.h"
#include "wal/segment_reader.h"
#include "wal/wal_error.h"

namespace qorva::wal {

class WalReplayer;

// The segment files found in <topic dir>/wal, by the first cursor in their
// names. A plain value; the files may change after it was made.
class WalReader {
 public:
  // Lists the directory once. A missing directory is an empty index; other
  // listing failures are returned.
  static std::expected<WalReader, IoError> open(const std::string& topic_dir);

  bool has_segments() const { return !segment_paths_.empty(); }
  const std::map<std::uint64_t, std::string>& segment_paths() const { return segment_paths_; }

  // A replayer from `cursor`: the segment that holds it and every later one.
  // An empty index gives a replayer that ends at once. Error: CursorTooOld
  // when `cursor` is below the oldest segment's first cursor.
  std::expected<WalReplayer, WalError> read_from(std::uint64_t cursor) const;

 private:
  std::map<std::uint64_t, std::string> segment_paths_;
};

// Yields the records of its segments in order, skipping those below the start
// cursor. Each record must carry the cursor after the one before it: a hole in
// the numbering is an error, never passed over. At most one segment file is
// open at a time, read up to the length it had when it was opened. Move-only;
// one thread at a time.
class WalReplayer {
 public:
  // One record; a WalError::Reader (the segment it came from is then left,
  // and the next call goes on with the following one); a
  // WalError::RecordsMissing when the next record is not the expected cursor
  // (that record comes on the next call); or nothing, the end, which stays the
  // end unless refresh() finds more.
  std::optional<std::expected<Record, WalError>> next();

  // Passes over every record below `cursor`, which the caller got elsewhere.
  void skip_to(std::uint64_t cursor);

  // True right after next() yielded an error that only says the log's live
  // end was reached while being written: an incomplete record (ShortRead) or
  // an incomplete header, in the last segment known or in a file that has
  // grown since it was opened. Such a record is complete once the publisher's
  // flush lands; refresh() then reads on from it.
  bool at_live_end() const { return live_end_; }

  // Catches up with a live log after the end or a live-end error: the last
  // segment known is read on from where it stopped (up to its new length),
  // and segments newer than every known one are added from a fresh listing
  // of <topic_dir>/wal. Error: Io when the listing fails (nothing changes).
  std::expected<void, WalError> refresh(const std::string& topic_dir);

 private:
  friend class WalReader;
  struct Segment {
    std::uint64_t first_cursor;
    std::string path;
  };
  // Where reading of a segment ended, and whether it may go on there.
  struct Stop {
    std::size_t index;
    std::uint64_t offset;
    bool resumable;
  };

  WalReplayer(std::vector<Segment> segments, std::uint64_t from_cursor)
      : segments_(std::move(segments)), from_cursor_(from_cursor), expected_(from_cursor) {}
  std::expected<Record, WalError> fail(const SegmentReadError& error, std::uint64_t offset, bool grew);
  // The next record at or above from_cursor_, whatever its cursor.
  std::optional<std::expected<Record, WalError>> next_stored();

  std::vector<Segment> segments_;
  std::optional<SegmentReader> current_;
  std::size_t next_index_ = 0;
  std::uint64_t from_cursor_;
  // The cursor the next record must carry; none right after a read error,
  // which already told the caller that records are missing.
  std::optional<std::uint64_t> expected_;
  // A record found past a hole: yielded after the error that reports the hole.
  std::optional<Record> held_;
  std::optional<Stop> stop_;
  // Applied to the next segment opened: resume there instead of its start.
  std::optional<std::uint64_t> resume_offset_;
  bool live_end_ = false;
};

}  // namespace qorva::wal
