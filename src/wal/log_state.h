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
  SegmentIndex index QORVA_GUARDED_BY(mutex);
  std::optional<SegmentWriter> writer QORVA_GUARDED_BY(mutex);
  std::uint64_t active_bytes QORVA_GUARDED_BY(mutex) = 0;

  std::atomic<std::uint64_t> durable_cursor{0};
  std::atomic<std::uint64_t> pending_cursor{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> flusher_dead{false};
  std::atomic<std::uint64_t> appends_total{0};
  std::atomic<std::uint64_t> append_bytes_total{0};
  std::atomic<std::uint64_t> flushes_total{0};

  std::uint64_t total_bytes() const QORVA_REQUIRES(mutex) { return active_bytes + index.sealed_bytes; }

  // Raises durable_cursor to `synced`, never lowers it: the flusher's sync
  // outside the mutex may end after a later sync under it stored more.
  void advance_durable(std::uint64_t synced) {
    std::uint64_t seen = durable_cursor.load(std::memory_order_relaxed);
    while (seen < synced &&
           !durable_cursor.compare_exchange_weak(seen, synced, std::memory_order_release, std::memory_order_relaxed)) {
    }
  }

  // Writes out and fdatasyncs the active segment, if there is one, and
  // counts the sync; a failure is dropped and leaves the durable cursor.
  void sync_active_locked() QORVA_REQUIRES(mutex) {
    if (!writer) return;
    if (auto durable = writer->fsync()) {
      advance_durable(*durable);
      flushes_total.fetch_add(1, std::memory_order_relaxed);
    }
  }
};

}  // namespace qorva::wal
