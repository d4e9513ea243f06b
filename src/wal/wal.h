// Statistics of a topic's write-ahead log, as the publisher reports them.
#pragma once

#include <cstdint>

#include "wal_error.h"

namespace qorva::wal {

struct WalStats {
  std::uint64_t pending_cursor = 0;
  std::uint64_t durable_cursor = 0;
  std::uint64_t oldest_cursor = 0;
  std::uint64_t active_segment_bytes = 0;
  std::uint64_t total_wal_bytes = 0;
  std::uint64_t segments = 0;
  std::uint64_t appends_total = 0;
  std::uint64_t append_bytes_total = 0;
  std::uint64_t flushes_total = 0;
};

}  // namespace qorva::wal
