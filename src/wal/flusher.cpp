#include "wal/flusher.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace qorva::wal {
namespace {

constexpr Duration kMaxFlusherSleep = Duration::from_millis(50);

// One pass: write the buffer out under the lock, sync outside it, so an
// append never waits for the disk. The pass holds the segment's file across
// the sync, so a rotation may close the writer meanwhile and the sync still
// covers exactly the records below the target. It takes no descriptor and
// no memory: only a failed write-out or sync ends the thread.
bool flush_pass(LogState& state) QORVA_EXCLUDES(state.mutex) {
  std::shared_ptr<WritableFile> file;
  std::uint64_t target = 0;
  {
    MutexLock lock(state.mutex);
    auto& writer = state.writer;
    if (!writer) return true;
    if (!writer->file().write_out()) return false;
    file = writer->file().shared_file();
    target = writer->pending_cursor();
  }
  if (!file->sync()) return false;
  state.advance_durable(target);
  state.flushes_total.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void flusher_loop(LogState& state, Duration interval) {
  Deadline next = Deadline::after(interval);
  while (!state.stop.load(std::memory_order_acquire)) {
    if (!next.passed()) {
      sleep_for(std::min(next.remaining(), kMaxFlusherSleep));
      continue;
    }
    next = Deadline::after(interval);
    if (!flush_pass(state)) {
      state.flusher_dead.store(true, std::memory_order_release);
      return;
    }
  }
}

void run_flusher(std::shared_ptr<LogState> state, Duration interval) {
  try {
    flusher_loop(*state, interval);
  } catch (...) {
    state->flusher_dead.store(true, std::memory_order_release);
  }
}

}  // namespace

Flusher::Flusher(std::shared_ptr<LogState> state, Duration interval) : state_(std::move(state)) {
  try {
    thread_ = std::make_unique<std::thread>(run_flusher, state_, interval);
  } catch (const std::system_error&) {
    throw std::runtime_error("failed to spawn thread");
  }
}

Flusher::~Flusher() {
  if (!thread_) return;
  state_->stop.store(true, std::memory_order_release);
  if (thread_->joinable()) thread_->join();
}

void Flusher::abandon() { (void)thread_.release(); }

}  // namespace qorva::wal
