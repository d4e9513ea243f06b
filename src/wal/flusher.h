// The thread that, under SyncMode::Periodic, writes out and fdatasyncs the
// active segment once every flush interval, so that appended records become
// durable within one interval without an append waiting for the disk.
#pragma once

#include <memory>
#include <thread>

#include "clock.h"
#include "wal/log_state.h"

namespace qorva::wal {

// Owns the thread. A pass that fails ends it for good and sets
// LogState::flusher_dead, which makes the log refuse every later append.
// Move-only; one thread at a time.
class Flusher {
 public:
  // Starts the thread, which holds `state` until it ends. A thread that
  // cannot be started throws std::runtime_error "failed to spawn thread".
  Flusher(std::shared_ptr<LogState> state, Duration interval);
  Flusher(Flusher&&) noexcept = default;
  Flusher& operator=(Flusher&&) = delete;
  // Sets LogState::stop and joins the thread (at most one sleep of 50 ms).
  ~Flusher();

  // For a copy inherited by a forked child, where the thread does not
  // exist: forgets it without stopping or joining it.
  void abandon();

 private:
  std::shared_ptr<LogState> state_;
  // Heap-held so that abandon() can leak the handle of a thread that does
  // not exist rather than join it.
  std::unique_ptr<std::thread> thread_;
};

}  // namespace qorva::wal
