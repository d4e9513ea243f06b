// What a log shares with its flusher thread: the segment state under one
// mutex, and the cursors and counters both sides read without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "thread_annotations.h"
#include "wal/segment_index.h"
#include "wal/segment_writer.h"

namespace qorva::wal {

// Held by the log and, under SyncMode::Periodic, by its flusher thread.
struct LogState {
  Mutex mutex;
  // The index, the active segment and its size.
  SegmentIndex index GUARDED_BY(mutex);
  std::optional<SegmentWriter> writer GUARDED_BY(mutex);
  std::uint64_t active_bytes GUARDED_BY(mutex) = 0;

  std::atomic<std::uint64_t> durable_cursor{0};
  std::atomic<std::uint64_t> pending_cursor{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> flusher_dead{false};
  std::atomic<std::uint64_t> appends_total{0};
  std::atomic<std::uint64_t> append_bytes_total{0};
  std::atomic<std::uint64_t> flushes_total{0};

  std::uint64_t total_bytes() const REQUIRES(mutex) { return active_bytes + index.sealed_bytes; }
};

}  // namespace qorva::wal
