// What a log shares with its flusher thread: the segment state under one
// mutex, and the cursors and counters both sides read without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "segment_index.h"
#include "segment_writer.h"

namespace qorva::wal {

// Held by the log and, under SyncMode::Periodic, by its flusher thread.
struct LogState {
  std::mutex mutex;
  // Guarded by mutex: the index, the active segment and its size.
  SegmentIndex index;
  std::optional<SegmentWriter> writer;
  std::uint64_t active_bytes = 0;

  std::atomic<std::uint64_t> durable_cursor{0};
  std::atomic<std::uint64_t> pending_cursor{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> flusher_dead{false};
  std::atomic<std::uint64_t> appends_total{0};
  std::atomic<std::uint64_t> append_bytes_total{0};
  std::atomic<std::uint64_t> flushes_total{0};

  std::uint64_t total_bytes() const { return active_bytes + index.sealed_bytes; }
};

}  // namespace qorva::wal
