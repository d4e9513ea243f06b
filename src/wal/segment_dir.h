// The scan of a log directory that opening a log and indexing it for replay
// share: which entries are segment files, and which first cursor each has.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "io_error.h"

namespace qorva::wal {

struct SegmentFile {
  std::uint64_t first_cursor = 0;  // from the file name only
  std::string path;
};

// The entries of `dir` whose names are segment names (parse_segment_file_name),
// in the order the listing gives them; every other entry is skipped silently,
// and the entry's kind is not looked at. Errors: opening the listing (no
// link on the way is followed: ELOOP) or reading an entry (a missing
// directory is NotFound).
std::expected<std::vector<SegmentFile>, IoError> list_segment_files(const std::string& dir);

}  // namespace qorva::wal
