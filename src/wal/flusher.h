// The threads that, under SyncMode::Periodic, make appended records durable
// within about one flush interval without an append waiting for the disk:
// one writes the active segment's buffer out every interval, the other
// fdatasyncs what was written out. They are two so that a slow sync (a busy
// disk) never holds back the write-outs that readers of the files wait for.
#pragma once

#include <memory>
#include <thread>

#include "clock.h"
#include "wal/log_state.h"

namespace qorva::wal {

// The write-out thread's latest file for the sync thread (flusher.cpp).
struct SyncHandOver;

// Owns both threads. A failed write-out or sync ends both for good and sets
// LogState::flusher_dead, which makes the log refuse every later append; a
// failed sync is never retried. durable_cursor advances only to what a
// successful sync covered. Move-only; one pair of threads at a time.
class Flusher {
 public:
  // Starts the threads, which hold `state` until they end. A thread that
  // cannot be started throws std::runtime_error "failed to spawn thread".
  Flusher(std::shared_ptr<LogState> state, Duration interval);
  Flusher(Flusher&&) noexcept = default;
  Flusher& operator=(Flusher&&) = delete;
  // Sets LogState::stop and joins both threads: at most one sleep of 50 ms
  // and the sync in flight.
  ~Flusher();

  // For a copy inherited by a forked child, where the threads do not exist:
  // forgets them without stopping or joining them.
  void abandon();

 private:
  void stop();

  std::shared_ptr<LogState> state_;
  std::shared_ptr<SyncHandOver> hand_over_;
  // Heap-held so that abandon() can leak the handles of threads that do not
  // exist rather than join them.
  std::unique_ptr<std::thread> write_out_thread_;
  std::unique_ptr<std::thread> sync_thread_;
};

}  // namespace qorva::wal
