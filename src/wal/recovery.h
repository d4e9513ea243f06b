// Recovery of a log's segment files at opening: the torn tail a crash left is
// cut off, every segment is indexed with its size, and the cursor the next
// record carries is found. Nothing here runs while the log is open.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "wal/segment_index.h"
#include "wal/wal_error.h"

namespace qorva::wal {

// What recover_truncate did: the segment's length afterwards, and how many
// bytes it cut off (0 when the segment was sound and left alone).
struct Recovery {
  std::uint64_t len = 0;
  std::uint64_t bytes_dropped = 0;
};

// Scans a whole segment and, at the first record that fails its length or
// checksum checks (or is incomplete), truncates the file there, fsyncs it and
// reports the torn-tail event. Io and Header errors are returned and nothing
// is repaired, as is a link or a file that is not regular (Io: nothing
// outside the log is ever cut). Only for a segment no writer has open.
std::expected<Recovery, SegmentReadError> recover_truncate(const std::string& path);

// A log directory as recovery leaves it.
struct RecoveredLog {
  SegmentIndex index;  // every segment file, each counted as sealed
  // The cursor after the newest segment's last readable record, or that
  // segment's first cursor when it holds none; 0 for an empty log.
  std::uint64_t next_cursor = 0;
};

// Recovers every segment file in `dir` and indexes it with its size. Only the
// newest segment is scanned and cut (recover_truncate), or removed when a
// crash left it shorter than its header; every other one only has its header
// checked. Reads every record of the newest segment; blocks on disk. Errors:
// Io (listing, size, removal), Reader (a segment this cannot handle).
std::expected<RecoveredLog, WalError> recover_log(const std::string& dir);

}  // namespace qorva::wal
