#include "wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "../clock.h"
#include "../sys.h"
#include "record.h"
#include "segment_dir.h"
#include "segment_name.h"
#include "segment_reader.h"
#include "segment_writer.h"
#include "../logging.h"

namespace qorva::wal {
namespace {

constexpr Duration kMaxFlusherSleep = Duration::from_millis(50);

// The segment state; every access holds Wal::Shared::mutex.
struct Inner {
  // Every segment file, the active one included, by the first cursor in its name.
  std::map<std::uint64_t, std::string> segment_paths;
  // The recorded size of every segment but the active one.
  std::map<std::uint64_t, std::uint64_t> sealed_sizes;
  std::optional<SegmentWriter> writer;
  std::uint64_t active_bytes = 0;
  std::uint64_t sealed_bytes = 0;

  std::uint64_t total_bytes() const { return active_bytes + sealed_bytes; }

  void set_sealed_size(std::uint64_t key, std::uint64_t size) {
    drop_sealed_size(key);
    sealed_sizes.emplace(key, size);
    sealed_bytes += size;
  }
  void drop_sealed_size(std::uint64_t key) {
    auto it = sealed_sizes.find(key);
    if (it == sealed_sizes.end()) return;
    sealed_bytes -= std::min(it->second, sealed_bytes);
    sealed_sizes.erase(it);
  }
};

std::unexpected<WalError> wal_error(IoError e) { return std::unexpected(WalError{WalError::Io{e}}); }
std::unexpected<WalError> wal_error(WriterError e) { return std::unexpected(WalError{WalError::Writer{std::move(e)}}); }
std::unexpected<WalError> wal_error(SegmentReadError e) {
  return std::unexpected(WalError{WalError::Reader{std::move(e)}});
}

std::expected<std::uint64_t, IoError> size_of(const std::string& path) {
  struct stat st{};
  auto c_path = checked_path(path);
  if (!c_path) return std::unexpected(c_path.error());
  if (::stat(*c_path, &st) != 0) return std::unexpected(IoError::last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

// A newest segment shorter than its header is a creation that a crash cut
// short: it holds no record, and left in place it would fail every open.
std::expected<void, WalError> remove_cut_short_creation(const SegmentFile& file, std::uint64_t size) {
  if (auto removed = remove_file(file.path); !removed) return wal_error(removed.error());
  qorva::log_torn_tail_truncated(file.path, size, 0);
  return {};
}

// Only the newest segment can end in a torn record: a crash interrupts only
// the segment being appended to, and every older one was synced whole before
// a newer one was created (or cut and synced by the opening that created it).
// So the newest is scanned and cut after its last intact record, while the
// others only have their header checked: damage there is corruption, left on
// disk as found, with the intact records after it, for replay to report.
std::expected<Recovery, SegmentReadError> recover_segment(const SegmentFile& f, bool newest) {
  if (newest) return recover_truncate(f.path);
  auto reader = SegmentReader::open(f.path);
  if (!reader) return std::unexpected(std::move(reader.error()));
  return Recovery{reader->file_len(), 0};
}

// Recovers every segment file in `dir` and indexes it with its size.
std::expected<void, WalError> recover_and_index(const std::string& dir, Inner& inner) {
  auto files = list_segment_files(dir);
  if (!files) return wal_error(files.error());
  std::uint64_t newest = 0;
  for (const auto& f : *files) newest = std::max(newest, f.first_cursor);
  for (const auto& f : *files) {
    if (auto recovered = recover_segment(f, f.first_cursor == newest); !recovered) {
      auto short_size = truncated_header_size(recovered.error());
      if (f.first_cursor == newest && short_size) {
        if (auto removed = remove_cut_short_creation(f, *short_size); !removed) return removed;
        continue;
      }
      return wal_error(recovered.error());
    }
    auto size = size_of(f.path);
    if (!size) return wal_error(size.error());
    // A key listed twice (7.seg beside 007.seg): the later entry wins.
    inner.segment_paths[f.first_cursor] = f.path;
    inner.set_sealed_size(f.first_cursor, *size);
  }
  return {};
}

// The cursor after the newest segment's last readable record, or that
// segment's first cursor when it holds none; 0 for an empty log.
std::expected<std::uint64_t, WalError> find_next_cursor(const Inner& inner) {
  if (inner.segment_paths.empty()) return 0;
  const auto& [first, path] = *inner.segment_paths.rbegin();
  auto reader = SegmentReader::open(path);
  if (!reader) return wal_error(reader.error());
  std::optional<std::uint64_t> last;
  RecordIter records(*reader);
  while (auto item = records.next()) {
    if (!*item) break;  // recovery just cut what would fail; a late error only ends the scan
    last = (*item)->cursor;
  }
  return last ? *last + 1 : first;
}

// Deletes the oldest segments, never the active one, while the log is
// larger than `limit`. A file that cannot be deleted is dropped from the
// index all the same.
void enforce_retention_locked(std::uint64_t limit, Inner& inner) {
  while (inner.total_bytes() > limit) {
    auto victim = inner.segment_paths.begin();
    if (victim != inner.segment_paths.end() && inner.writer && victim->first == inner.writer->first_cursor())
      ++victim;
    if (victim == inner.segment_paths.end()) return;
    (void)remove_file(victim->second);
    inner.drop_sealed_size(victim->first);
    inner.segment_paths.erase(victim);
  }
}

// For a counter that only appends change, one at a time under the mutex: a
// plain store of the sum suffices, without the locked read-modify-write.
void count_up(std::atomic<std::uint64_t>& counter, std::uint64_t by) {
  counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

Duration shorter(Duration a, Duration b) {
  if (a.secs != b.secs) return a.secs < b.secs ? a : b;
  return a.nanos < b.nanos ? a : b;
}

}  // namespace

struct Wal::Shared {
  std::mutex mutex;
  Inner inner;  // guarded by mutex
  std::atomic<std::uint64_t> durable_cursor{0};
  std::atomic<std::uint64_t> pending_cursor{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> flusher_dead{false};
  std::atomic<std::uint64_t> appends_total{0};
  std::atomic<std::uint64_t> append_bytes_total{0};
  std::atomic<std::uint64_t> flushes_total{0};
};

namespace {

// Makes a new segment named after `cursor` the active one. A header-only
// file already indexed under that cursor (left by an opening that ended
// before its first append) is replaced, since segments are only ever
// created exclusively.
std::expected<void, WalError> start_segment(const std::string& dir, Inner& inner, std::uint64_t cursor) {
  auto existing = inner.segment_paths.find(cursor);
  auto sealed = inner.sealed_sizes.find(cursor);
  if (existing != inner.segment_paths.end() && sealed != inner.sealed_sizes.end() && sealed->second == kHeaderLen) {
    if (auto removed = remove_file(existing->second); !removed && removed.error().kind() != IoKind::NotFound)
      return wal_error(WriterError{WriterError::Io{removed.error()}});
    inner.drop_sealed_size(cursor);
    inner.segment_paths.erase(existing);
  }
  auto writer = SegmentWriter::create(join_path(dir, segment_file_name(cursor)), cursor);
  if (!writer) return wal_error(std::move(writer.error()));
  inner.segment_paths[cursor] = writer->path();
  inner.active_bytes = writer->bytes_written();
  inner.writer = std::move(*writer);
  return {};
}

// A segment that holds no record yet takes any record, however large, so a
// record that does not fit an empty segment gets one of its own.
bool needs_rotation(const Inner& inner, std::uint64_t payload_len, std::uint64_t max_segment_bytes) {
  const SegmentWriter& w = *inner.writer;
  if (w.pending_cursor() == w.first_cursor()) return false;
  return inner.active_bytes + payload_len + kRecordFramingLen > max_segment_bytes;
}

// Seals the active segment and starts the next one at `cursor`. The full
// segment is made durable while it is still active: if that fails, nothing
// has changed (no buffered record is lost with a destroyed writer, no size
// is counted twice) and the next append tries the rotation again.
std::expected<void, WalError> rotate(const std::string& dir, Inner& inner, std::uint64_t cursor) {
  if (auto synced = inner.writer->fsync(); !synced) return wal_error(std::move(synced.error()));
  const std::uint64_t key = inner.writer->first_cursor();
  const std::uint64_t size = inner.writer->bytes_written();
  inner.writer.reset();  // all written and synced: this only closes the file
  inner.set_sealed_size(key, size);
  inner.active_bytes = 0;
  return start_segment(dir, inner, cursor);
}

// One flusher pass: write the buffer out under the lock, sync a duplicate of
// the descriptor outside it, so an append never waits for the disk.
bool flush_pass(Wal::Shared& shared) {
  UniqueFd dup;
  std::uint64_t target = 0;
  {
    std::lock_guard lock(shared.mutex);
    auto& writer = shared.inner.writer;
    if (!writer) return true;
    if (!writer->file().write_out()) return false;
    dup.reset(::fcntl(writer->file().fd(), F_DUPFD_CLOEXEC, 3));
    if (!dup) return false;
    target = writer->pending_cursor();
  }
  if (retry_eintr([&] { return ::fdatasync(dup.get()); }) != 0) return false;
  shared.durable_cursor.store(target, std::memory_order_release);
  shared.flushes_total.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void flusher_loop(Wal::Shared& shared, Duration interval) {
  Deadline next = Deadline::after(interval);
  while (!shared.stop.load(std::memory_order_acquire)) {
    if (!next.passed()) {
      sleep_for(shorter(next.remaining(), kMaxFlusherSleep));
      continue;
    }
    next = Deadline::after(interval);
    if (!flush_pass(shared)) {
      shared.flusher_dead.store(true, std::memory_order_release);
      return;
    }
  }
}

void run_flusher(std::shared_ptr<Wal::Shared> shared, Duration interval) {
  try {
    flusher_loop(*shared, interval);
  } catch (...) {
    shared->flusher_dead.store(true, std::memory_order_release);
  }
}

}  // namespace

std::expected<Wal, WalError> Wal::open(const std::string& topic_dir, const WalConfig& config) {
  Wal wal;
  wal.owner_pid_ = ::getpid();
  wal.dir_ = join_path(topic_dir, "wal");
  wal.config_ = config;
  if (auto made = create_dir_all(wal.dir_); !made) return wal_error(made.error());
  auto shared = std::make_shared<Shared>();
  Inner& inner = shared->inner;
  if (auto indexed = recover_and_index(wal.dir_, inner); !indexed) return std::unexpected(indexed.error());
  auto next = find_next_cursor(inner);
  if (!next) return std::unexpected(next.error());
  // A newest segment without records stays as it is: the first append
  // replaces it (start_segment).
  if (!inner.segment_paths.empty() && *next != inner.segment_paths.rbegin()->first) {
    if (auto started = start_segment(wal.dir_, inner, *next); !started) return std::unexpected(started.error());
  }
  shared->durable_cursor.store(*next);
  shared->pending_cursor.store(*next);
  wal.shared_ = std::move(shared);

  if (config.enabled && config.sync_mode == SyncMode::Periodic) {
    try {
      wal.flusher_ = std::make_unique<std::thread>(run_flusher, wal.shared_, config.flush_interval);
    } catch (const std::system_error&) {
      throw std::runtime_error("failed to spawn thread");
    }
  }
  wal.opened_unix_ns_ = unix_time_ns();
  wal.opened_at_ = monotonic_now();
  return wal;
}

Wal::Wal(Wal&& other) noexcept
    : dir_(std::move(other.dir_)),
      config_(other.config_),
      shared_(std::move(other.shared_)),
      flusher_(std::move(other.flusher_)),
      opened_unix_ns_(other.opened_unix_ns_),
      opened_at_(other.opened_at_),
      owner_pid_(other.owner_pid_) {}

Wal& Wal::operator=(Wal&& other) noexcept {
  if (this != &other) {
    release();
    dir_ = std::move(other.dir_);
    config_ = other.config_;
    shared_ = std::move(other.shared_);
    flusher_ = std::move(other.flusher_);
    opened_unix_ns_ = other.opened_unix_ns_;
    opened_at_ = other.opened_at_;
    owner_pid_ = other.owner_pid_;
  }
  return *this;
}

Wal::~Wal() { release(); }

void Wal::release() {
  if (!shared_) return;
  if (::getpid() != owner_pid_) {
    release_in_forked_child();
  } else {
    shut_down();
  }
}

void Wal::shut_down() {
  shared_->stop.store(true, std::memory_order_release);
  if (flusher_ && flusher_->joinable()) flusher_->join();
  flusher_.reset();
  if (config_.enabled) {
    std::lock_guard lock(shared_->mutex);
    if (auto& writer = shared_->inner.writer) {
      if (auto durable = writer->fsync()) {
        shared_->durable_cursor.store(*durable, std::memory_order_release);
        shared_->flushes_total.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  shared_.reset();
}

void Wal::release_in_forked_child() {
  // This process inherited a copy of the opener's log. The buffered records
  // belong to the opener, which writes them itself; the flusher thread does
  // not exist here, and the mutex or the maps may have been copied in the
  // middle of a change. So: close the descriptor, drop the buffer, and leave
  // the rest untouched (a small leak in a child beats a corrupted parent).
  if (auto& writer = shared_->inner.writer) writer->file().abandon();
  (void)flusher_.release();
  (void)new std::shared_ptr<Shared>(std::move(shared_));
}

std::expected<void, WalError> Wal::append(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                          std::span<const std::byte> payload) {
  if (!config_.enabled) return {};
  if (payload.size() > kMaxPayloadLen) return std::unexpected(WalError{WalError::PayloadTooLarge{payload.size()}});
  if (shared_->flusher_dead.load(std::memory_order_acquire)) return std::unexpected(WalError{WalError::FlusherDied{}});

  std::lock_guard lock(shared_->mutex);
  Inner& inner = shared_->inner;
  if (!inner.writer) {
    if (auto started = start_segment(dir_, inner, cursor); !started) return started;
  } else if (needs_rotation(inner, payload.size(), config_.max_segment_bytes)) {
    if (auto rotated = rotate(dir_, inner, cursor); !rotated) return rotated;
  }
  SegmentWriter& writer = *inner.writer;
  if (auto written = writer.append(cursor, timestamp_ns, payload); !written)
    return wal_error(std::move(written.error()));
  inner.active_bytes = writer.bytes_written();
  shared_->pending_cursor.store(cursor + 1, std::memory_order_release);
  count_up(shared_->appends_total, 1);
  count_up(shared_->append_bytes_total, payload.size());

  if (config_.sync_mode == SyncMode::EveryAppend) {
    auto durable = writer.fsync();
    if (!durable) return wal_error(std::move(durable.error()));
    shared_->durable_cursor.store(*durable, std::memory_order_release);
    shared_->flushes_total.fetch_add(1, std::memory_order_relaxed);
  }
  if (inner.total_bytes() > config_.max_total_bytes) enforce_retention_locked(config_.max_total_bytes, inner);
  return {};
}

WalStats Wal::stats() const {
  std::lock_guard lock(shared_->mutex);
  const Inner& inner = shared_->inner;
  WalStats s;
  s.pending_cursor = shared_->pending_cursor.load(std::memory_order_acquire);
  s.durable_cursor = shared_->durable_cursor.load(std::memory_order_acquire);
  s.oldest_cursor = inner.segment_paths.empty() ? 0 : inner.segment_paths.begin()->first;
  s.active_segment_bytes = inner.active_bytes;
  s.total_wal_bytes = inner.total_bytes();
  s.segments = inner.segment_paths.size();
  s.appends_total = shared_->appends_total.load(std::memory_order_relaxed);
  s.append_bytes_total = shared_->append_bytes_total.load(std::memory_order_relaxed);
  s.flushes_total = shared_->flushes_total.load(std::memory_order_relaxed);
  return s;
}

std::uint64_t Wal::pending_cursor() const { return shared_->pending_cursor.load(std::memory_order_acquire); }

std::uint64_t Wal::durable_cursor() const { return shared_->durable_cursor.load(std::memory_order_acquire); }

std::uint64_t Wal::timestamp_now() const { return timestamp_at(monotonic_now()); }

std::uint64_t Wal::timestamp_at(const timespec& now) const {
  const __int128 elapsed = (static_cast<__int128>(now.tv_sec) - opened_at_.tv_sec) * 1'000'000'000 +
                           (now.tv_nsec - opened_at_.tv_nsec);
  if (elapsed <= 0) return opened_unix_ns_;
  if (elapsed > static_cast<__int128>(UINT64_MAX)) return UINT64_MAX;
  return saturating_add(opened_unix_ns_, static_cast<std::uint64_t>(elapsed));
}

}  // namespace qorva::wal
