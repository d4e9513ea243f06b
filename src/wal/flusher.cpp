#include "wal/flusher.h"

#include <algorithm>
#include <condition_variable>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace qorva::wal {

// A file written out and the cursor below which it then held every record.
struct SyncTarget {
  std::shared_ptr<WritableFile> file;
  std::uint64_t cursor = 0;
};

// Holds at most one target: a newer one replaces the one still waiting, as
// syncing the newest is enough. An fdatasync covers everything written to
// its file before it, and every segment sealed since an older target was
// fdatasynced by its rotation, under the log's mutex, before the next
// segment took records.
struct SyncHandOver {
  Mutex mutex;
  std::condition_variable_any changed;
  std::optional<SyncTarget> pending QORVA_GUARDED_BY(mutex);
  bool closed QORVA_GUARDED_BY(mutex) = false;

  void put(SyncTarget target) QORVA_EXCLUDES(mutex) {
    {
      MutexLock lock(mutex);
      pending = std::move(target);
    }
    changed.notify_one();
  }
  // Drops what is pending: a log being torn down syncs its active segment
  // itself.
  void close() QORVA_EXCLUDES(mutex) {
    {
      MutexLock lock(mutex);
      closed = true;
    }
    changed.notify_one();
  }
  // Blocks for the next target; none once closed.
  std::optional<SyncTarget> take() QORVA_EXCLUDES(mutex) {
    MutexLock lock(mutex);
    while (!pending && !closed) changed.wait(mutex);
    if (closed) return std::nullopt;
    return std::exchange(pending, std::nullopt);
  }
};

namespace {

constexpr Duration kMaxFlusherSleep = Duration::from_millis(50);

// Writes the buffer out under the lock and hands the file over. The target
// holds the segment's file, so a rotation may close the writer meanwhile and
// its sync still covers exactly the records below the cursor. It takes no
// descriptor and no memory: only a failed write-out or sync ends the threads.
bool write_out_pass(LogState& state, SyncHandOver& hand_over) QORVA_EXCLUDES(state.mutex) {
  SyncTarget target;
  {
    MutexLock lock(state.mutex);
    auto& writer = state.writer;
    if (!writer) return true;
    if (!writer->file().write_out()) return false;
    target = {writer->file().shared_file(), writer->pending_cursor()};
  }
  hand_over.put(std::move(target));
  return true;
}

// Keeps to the interval whatever a sync costs; ends once stopped or when
// either thread failed.
void write_out_loop(LogState& state, SyncHandOver& hand_over, Duration interval) {
  Deadline next = Deadline::after(interval);
  while (!state.stop.load(std::memory_order_acquire) && !state.flusher_dead.load(std::memory_order_acquire)) {
    if (!next.passed()) {
      // Short enough to see a stop soon.
      sleep_until(std::min(next, Deadline::after(kMaxFlusherSleep)));
      continue;
    }
    next = Deadline::after(interval);
    if (!write_out_pass(state, hand_over)) {
      state.flusher_dead.store(true, std::memory_order_release);
      return;
    }
  }
}

// Syncs outside the log's mutex, so an append never waits for the disk.
void sync_loop(LogState& state, SyncHandOver& hand_over) {
  while (auto target = hand_over.take()) {
    if (!target->file->sync()) {
      state.flusher_dead.store(true, std::memory_order_release);
      return;
    }
    state.advance_durable(target->cursor);
    state.flushes_total.fetch_add(1, std::memory_order_relaxed);
  }
}

void run_write_out(std::shared_ptr<LogState> state, std::shared_ptr<SyncHandOver> hand_over, Duration interval) {
  try {
    write_out_loop(*state, *hand_over, interval);
  } catch (...) {
    state->flusher_dead.store(true, std::memory_order_release);
  }
  hand_over->close();  // nothing more to sync: the sync thread ends too
}

void run_sync(std::shared_ptr<LogState> state, std::shared_ptr<SyncHandOver> hand_over) {
  try {
    sync_loop(*state, *hand_over);
  } catch (...) {
    state->flusher_dead.store(true, std::memory_order_release);
  }
}

}  // namespace

Flusher::Flusher(std::shared_ptr<LogState> state, Duration interval)
    : state_(std::move(state)), hand_over_(std::make_shared<SyncHandOver>()) {
  try {
    sync_thread_ = std::make_unique<std::thread>(run_sync, state_, hand_over_);
    write_out_thread_ = std::make_unique<std::thread>(run_write_out, state_, hand_over_, interval);
  } catch (const std::system_error&) {
    stop();
    throw std::runtime_error("failed to spawn thread");
  }
}

Flusher::~Flusher() {
  if (sync_thread_) stop();
}

void Flusher::stop() {
  state_->stop.store(true, std::memory_order_release);
  if (write_out_thread_) write_out_thread_->join();
  hand_over_->close();  // if the write-out thread never started
  if (sync_thread_) sync_thread_->join();
}

void Flusher::abandon() {
  (void)write_out_thread_.release();
  (void)sync_thread_.release();
  // Its copies of the mutex and the condition variable may be in use by a
  // thread that does not exist here: destroying them could block for good.
  (void)new std::shared_ptr<SyncHandOver>(std::move(hand_over_));
}

}  // namespace qorva::wal
