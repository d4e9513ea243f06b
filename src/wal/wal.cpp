#include "wal/wal.h"

#include <unistd.h>

#include <atomic>
#include <optional>

#include "clock.h"
#include "sys.h"
#include "thread_annotations.h"
#include "wal/flusher.h"
#include "wal/log_state.h"
#include "wal/open_logs.h"
#include "wal/record.h"
#include "wal/recovery.h"
#include "wal/segment_name.h"
#include "wal/segment_writer.h"
#include "wal/timestamp.h"

namespace qorva::wal {
namespace {

// Makes a new segment named after `cursor` the active one. A header-only
// file already indexed under that cursor (left by an opening that ended
// before its first append) is replaced, since segments are only ever
// created exclusively.
std::expected<void, WalError> start_segment_locked(const std::string& dir, const MakeWritableFile& make_file,
                                                   LogState& state, std::uint64_t cursor) QORVA_REQUIRES(state.mutex) {
  SegmentIndex& index = state.index;
  auto existing = index.paths.find(cursor);
  auto sealed = index.sealed_sizes.find(cursor);
  if (existing != index.paths.end() && sealed != index.sealed_sizes.end() && sealed->second == kHeaderLen) {
    if (auto removed = remove_file(existing->second); !removed && removed.error().kind() != IoKind::NotFound)
      return std::unexpected<WalError>(WriterError(removed.error()));
    index.drop_sealed_size(cursor);
    index.paths.erase(existing);
  }
  auto writer = SegmentWriter::create(join_path(dir, segment_file_name(cursor)), cursor, make_file);
  if (!writer) return std::unexpected<WalError>(std::move(writer.error()));
  index.paths[cursor] = writer->path();
  state.active_bytes = writer->bytes_written();
  state.writer = std::move(*writer);
  return {};
}

// A segment that holds no record yet takes any record, however large, so a
// record that does not fit an empty segment gets one of its own.
bool needs_rotation_locked(const LogState& state, std::uint64_t payload_len, std::uint64_t max_segment_bytes)
    QORVA_REQUIRES(state.mutex) {
  const SegmentWriter& w = *state.writer;
  if (w.pending_cursor() == w.first_cursor()) return false;
  return state.active_bytes + payload_len + kRecordFramingLen > max_segment_bytes;
}

// Seals the active segment and starts the next one at `cursor`. The full
// segment is made durable while it is still active: if that fails, nothing
// has changed (no buffered record is lost with a destroyed writer, no size
// is counted twice) and the next append tries the rotation again.
std::expected<void, WalError> rotate_locked(const std::string& dir, const MakeWritableFile& make_file, LogState& state,
                                            std::uint64_t cursor) QORVA_REQUIRES(state.mutex) {
  if (auto synced = state.writer->fsync(); !synced) return std::unexpected<WalError>(std::move(synced.error()));
  const std::uint64_t key = state.writer->first_cursor();
  const std::uint64_t size = state.writer->bytes_written();
  state.writer.reset();  // all written and synced: this only closes the file
  state.index.set_sealed_size(key, size);
  state.active_bytes = 0;
  return start_segment_locked(dir, make_file, state, cursor);
}

// Deletes the oldest segments, never the active one, while the log is
// larger than `limit`. A file that cannot be deleted is dropped from the
// index all the same.
void enforce_retention_locked(std::uint64_t limit, LogState& state) QORVA_REQUIRES(state.mutex) {
  SegmentIndex& index = state.index;
  while (state.total_bytes() > limit) {
    auto victim = index.paths.begin();
    if (victim != index.paths.end() && state.writer && victim->first == state.writer->first_cursor()) ++victim;
    if (victim == index.paths.end()) return;
    (void)remove_file(victim->second);
    index.drop_sealed_size(victim->first);
    index.paths.erase(victim);
  }
}

// For a counter that only appends change, one at a time under the mutex: a
// plain store of the sum suffices, without the locked read-modify-write.
void count_up(std::atomic<std::uint64_t>& counter, std::uint64_t by) {
  counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

}  // namespace

std::expected<Wal, WalError> Wal::open(const std::string& topic_dir, const WalConfig& config,
                                       MakeWritableFile make_file) {
  Wal wal;
  wal.owner_pid_ = ::getpid();
  wal.dir_ = join_path(topic_dir, "wal");
  wal.config_ = config;
  wal.make_file_ = std::move(make_file);
  if (auto made = create_dir_all(wal.dir_); !made) return std::unexpected<WalError>(made.error());
  auto recovered = recover_log(wal.dir_);
  if (!recovered) return std::unexpected(std::move(recovered.error()));
  const std::uint64_t next = recovered->next_cursor;
  auto shared = std::make_shared<LogState>();
  LogState& state = *shared;
  {
    MutexLock lock(state.mutex);
    state.index = std::move(recovered->index);
    // A newest segment without records stays as it is: the first append
    // replaces it (start_segment_locked).
    if (!state.index.paths.empty() && next != state.index.paths.rbegin()->first) {
      if (auto started = start_segment_locked(wal.dir_, wal.make_file_, state, next); !started)
        return std::unexpected(started.error());
    }
  }
  state.durable_cursor.store(next);
  state.pending_cursor.store(next);
  wal.state_ = std::move(shared);
  if (config.enabled) remember_open_log(*wal.state_);

  if (config.enabled && config.sync_mode == SyncMode::Periodic)
    wal.flusher_ = std::make_unique<Flusher>(wal.state_, config.flush_interval);
  wal.opened_unix_ns_ = unix_time_ns();
  wal.opened_at_ = MonotonicTime::now();
  return wal;
}

Wal::Wal(Wal&& other) noexcept
    : dir_(std::move(other.dir_)),
      config_(other.config_),
      make_file_(std::move(other.make_file_)),
      state_(std::move(other.state_)),
      flusher_(std::move(other.flusher_)),
      opened_unix_ns_(other.opened_unix_ns_),
      opened_at_(other.opened_at_),
      owner_pid_(other.owner_pid_) {}

Wal& Wal::operator=(Wal&& other) noexcept {
  if (this != &other) {
    release();
    dir_ = std::move(other.dir_);
    config_ = other.config_;
    make_file_ = std::move(other.make_file_);
    state_ = std::move(other.state_);
    flusher_ = std::move(other.flusher_);
    opened_unix_ns_ = other.opened_unix_ns_;
    opened_at_ = other.opened_at_;
    owner_pid_ = other.owner_pid_;
  }
  return *this;
}

Wal::~Wal() { release(); }

void Wal::release() {
  if (!state_) return;
  if (::getpid() != owner_pid_) {
    release_in_forked_child();
  } else {
    shut_down();
  }
}

void Wal::shut_down() {
  // From here on the last sync is this teardown's own.
  if (config_.enabled) forget_open_log(*state_);
  flusher_.reset();  // stops and joins the thread
  if (config_.enabled) {
    MutexLock lock(state_->mutex);
    state_->sync_active_locked();
  }
  state_.reset();
}

void Wal::release_in_forked_child() {
  // This process inherited a copy of the opener's log. The buffered records
  // belong to the opener, which writes them itself; the flusher thread does
  // not exist here, and the mutex or the maps may have been copied in the
  // middle of a change. So: let go of the file (its descriptor stays open
  // only if the flusher was syncing it, or had handed it over for a sync, at
  // the fork), drop the buffer, and leave the rest untouched (a small leak in
  // a child beats a corrupted parent). The exit sync never sees this log: the
  // child's set of open logs starts empty.
  if (auto& writer = state_->writer) writer->file().abandon();
  if (flusher_) flusher_->abandon();
  flusher_.reset();
  (void)new std::shared_ptr<LogState>(std::move(state_));
}

std::expected<void, WalError> Wal::append(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                          std::span<const std::byte> payload) {
  if (!config_.enabled) return {};
  if (payload.size() > kMaxPayloadLen) return std::unexpected<WalError>(WalError::PayloadTooLarge{payload.size()});
  if (state_->flusher_dead.load(std::memory_order_acquire)) return std::unexpected<WalError>(WalError::FlusherDied{});

  LogState& state = *state_;
  MutexLock lock(state.mutex);
  if (!state.writer) {
    if (auto started = start_segment_locked(dir_, make_file_, state, cursor); !started) return started;
  } else if (needs_rotation_locked(state, payload.size(), config_.max_segment_bytes)) {
    if (auto rotated = rotate_locked(dir_, make_file_, state, cursor); !rotated) return rotated;
  }
  SegmentWriter& writer = *state.writer;
  if (auto written = writer.append(cursor, timestamp_ns, payload); !written)
    return std::unexpected<WalError>(std::move(written.error()));
  state.active_bytes = writer.bytes_written();
  state.pending_cursor.store(cursor + 1, std::memory_order_release);
  count_up(state.appends_total, 1);
  count_up(state.append_bytes_total, payload.size());

  if (config_.sync_mode == SyncMode::EveryAppend) {
    auto durable = writer.fsync();
    if (!durable) return std::unexpected<WalError>(std::move(durable.error()));
    state.durable_cursor.store(*durable, std::memory_order_release);
    state.flushes_total.fetch_add(1, std::memory_order_relaxed);
  }
  if (state.total_bytes() > config_.max_total_bytes) enforce_retention_locked(config_.max_total_bytes, state);
  return {};
}

WalStats Wal::stats() const {
  LogState& state = *state_;
  MutexLock lock(state.mutex);
  WalStats s;
  s.pending_cursor = state.pending_cursor.load(std::memory_order_acquire);
  s.durable_cursor = state.durable_cursor.load(std::memory_order_acquire);
  s.oldest_cursor = state.index.paths.empty() ? 0 : state.index.paths.begin()->first;
  s.active_segment_bytes = state.active_bytes;
  s.total_wal_bytes = state.total_bytes();
  s.segments = state.index.paths.size();
  s.appends_total = state.appends_total.load(std::memory_order_relaxed);
  s.append_bytes_total = state.append_bytes_total.load(std::memory_order_relaxed);
  s.flushes_total = state.flushes_total.load(std::memory_order_relaxed);
  return s;
}

std::uint64_t Wal::pending_cursor() const { return state_->pending_cursor.load(std::memory_order_acquire); }

std::uint64_t Wal::durable_cursor() const { return state_->durable_cursor.load(std::memory_order_acquire); }

std::uint64_t Wal::timestamp_now() const { return timestamp_at(MonotonicTime::now()); }

std::uint64_t Wal::timestamp_at(MonotonicTime now) const { return timestamp_since(opened_unix_ns_, opened_at_, now); }

}  // namespace qorva::wal
