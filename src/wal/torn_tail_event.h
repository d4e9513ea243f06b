// The one log event of the write-ahead log: recovery cut a torn or damaged
// segment tail (WARN, target qorva::wal, fields path, bytes_dropped,
// truncate_offset). Thread-safe; costs a level check while nothing listens.
#pragma once

#include <cstdint>
#include <string>

namespace qorva::wal {

void log_torn_tail_truncated(const std::string& path, std::uint64_t bytes_dropped, std::uint64_t truncate_offset);

}  // namespace qorva::wal
