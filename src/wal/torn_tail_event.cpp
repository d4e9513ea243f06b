#include "torn_tail_event.h"

namespace qorva::wal {

void log_torn_tail_truncated(const std::string& path, std::uint64_t bytes_dropped, std::uint64_t truncate_offset) {
  (void)path;
  (void)bytes_dropped;
  (void)truncate_offset;
}

}  // namespace qorva::wal
