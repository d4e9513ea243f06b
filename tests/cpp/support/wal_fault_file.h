// Files that fail on cue, in front of the real POSIX ones, for the failure
// paths of the segment writer, the reader and the log that a healthy disk
// never takes. The data still lands in the real file, so a test reads back
// what a failure left on disk. One FaultInjector rules every file it made;
// a test changes the faults between calls, from any thread.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "sys.h"
#include "wal/file.h"
#include "wal/posix_file.h"

namespace qorva::wal::testing {

class FaultInjector : public std::enable_shared_from_this<FaultInjector> {
 public:
  static std::shared_ptr<FaultInjector> make() { return std::shared_ptr<FaultInjector>(new FaultInjector); }

  // What SegmentWriter::create and Wal::open take: files that obey this
  // injector, made around the real descriptor.
  MakeWritableFile maker();
  // A reader's file over `fd` that obeys this injector.
  std::unique_ptr<SequentialFile> sequential(UniqueFd fd);

  // As a file-size limit does: a write that would take a file past `bytes`
  // writes up to there only, and a write at the limit fails with `error`.
  void limit_size(std::uint64_t bytes, int error) {
    change([&](Faults& f) { f.size_limit = {bytes, error}; });
  }
  // The nth write call from now on (1 = the next), on any file, fails
  // with `error` and writes nothing.
  void fail_write(int nth, int error) {
    change([&](Faults& f) { f.failing_write = {writes_ + nth, error}; });
  }
  // Every write call writes at most `bytes`: short writes that are no error.
  void cap_writes(std::size_t bytes) {
    change([&](Faults& f) { f.write_cap = bytes; });
  }
  // Every truncate, sync or read fails with `error` until heal().
  void fail_truncate(int error) {
    change([&](Faults& f) { f.truncate_error = error; });
  }
  void fail_sync(int error) {
    change([&](Faults& f) { f.sync_error = error; });
  }
  // Only the nth sync call from now on (1 = the next) fails with `error`.
  void fail_one_sync(int nth, int error) {
    change([&](Faults& f) { f.failing_sync = {syncs_ + nth, error}; });
  }
  // Every sync from now on first sleeps `delay`, as one queued behind a
  // busy disk's other work does. Counted by slow_syncs_begun and _ended.
  void slow_syncs(std::chrono::milliseconds delay) {
    change([&](Faults& f) { f.sync_delay = delay; });
  }
  // The nth read call from now on fails with `error`.
  void fail_read(int nth, int error) {
    change([&](Faults& f) { f.failing_read = {reads_ + nth, error}; });
  }
  void fail_size(int error) {
    change([&](Faults& f) { f.size_error = error; });
  }
  // Lifts every fault.
  void heal() {
    change([](Faults& f) { f = {}; });
  }

  int truncates() {
    std::lock_guard lock(mutex_);
    return truncates_;
  }
  int slow_syncs_begun() {
    std::lock_guard lock(mutex_);
    return slow_syncs_begun_;
  }
  int slow_syncs_ended() {
    std::lock_guard lock(mutex_);
    return slow_syncs_ended_;
  }

  // For the files: the part of a `len`-byte write at `offset` that may
  // happen now, or the error it fails with.
  std::expected<std::size_t, IoError> admit_write(std::uint64_t offset, std::size_t len) {
    std::lock_guard lock(mutex_);
    ++writes_;
    if (faults_.failing_write && faults_.failing_write->at == writes_) return fail(faults_.failing_write->error);
    if (faults_.size_limit) {
      if (offset >= faults_.size_limit->at) return fail(faults_.size_limit->error);
      len = std::min<std::uint64_t>(len, faults_.size_limit->at - offset);
    }
    if (faults_.write_cap) len = std::min(len, *faults_.write_cap);
    return len;
  }
  std::expected<void, IoError> admit_truncate() {
    std::lock_guard lock(mutex_);
    ++truncates_;
    return admit(faults_.truncate_error);
  }
  std::expected<void, IoError> admit_sync() {
    std::lock_guard lock(mutex_);
    ++syncs_;
    if (faults_.failing_sync && faults_.failing_sync->at == syncs_) return fail(faults_.failing_sync->error);
    return admit(faults_.sync_error);
  }
  // Runs `sync`, an admitted one, after the delay slow_syncs set; the
  // injector stays free for other calls meanwhile.
  template <class Sync>
  std::expected<void, IoError> slowed(Sync&& sync) {
    std::chrono::milliseconds delay{};
    {
      std::lock_guard lock(mutex_);
      delay = faults_.sync_delay;
      if (delay.count() > 0) ++slow_syncs_begun_;
    }
    if (delay.count() == 0) return sync();
    std::this_thread::sleep_for(delay);
    auto synced = sync();
    std::lock_guard lock(mutex_);
    ++slow_syncs_ended_;
    return synced;
  }
  std::expected<void, IoError> admit_read() {
    std::lock_guard lock(mutex_);
    ++reads_;
    if (faults_.failing_read && faults_.failing_read->at == reads_) return fail(faults_.failing_read->error);
    return {};
  }
  std::expected<void, IoError> admit_size() {
    std::lock_guard lock(mutex_);
    return admit(faults_.size_error);
  }

 private:
  struct Trigger {
    std::uint64_t at;
    int error;
  };
  struct Faults {
    std::optional<Trigger> size_limit;     // at: the byte limit
    std::optional<Trigger> failing_write;  // at: the write's number
    std::optional<std::size_t> write_cap;
    std::optional<int> truncate_error;
    std::optional<int> sync_error;
    std::optional<Trigger> failing_sync;  // at: the sync's number
    std::chrono::milliseconds sync_delay{};
    std::optional<Trigger> failing_read;  // at: the read's number
    std::optional<int> size_error;
  };

  FaultInjector() = default;
  template <class F>
  void change(F&& f) {
    std::lock_guard lock(mutex_);
    f(faults_);
  }
  static std::unexpected<IoError> fail(int error) { return std::unexpected(IoError::from_errno(error)); }
  static std::expected<void, IoError> admit(std::optional<int> error) {
    if (error) return fail(*error);
    return {};
  }

  std::mutex mutex_;
  Faults faults_;
  std::uint64_t writes_ = 0;
  std::uint64_t syncs_ = 0;
  std::uint64_t reads_ = 0;
  int truncates_ = 0;
  int slow_syncs_begun_ = 0;
  int slow_syncs_ended_ = 0;
};

// A WritableFile that asks its injector before each call to the real file,
// and keeps the file offset a size limit is checked against (sync, which may
// run on another thread, leaves it alone).
class FaultyWritableFile final : public WritableFile {
 public:
  FaultyWritableFile(std::shared_ptr<FaultInjector> faults, std::unique_ptr<WritableFile> file, std::uint64_t offset)
      : faults_(std::move(faults)), file_(std::move(file)), offset_(offset) {}

  std::expected<std::size_t, IoError> write(std::span<const std::span<const std::byte>> parts) override {
    std::size_t total = 0;
    for (auto part : parts) total += part.size();
    auto allowed = faults_->admit_write(offset_, total);
    if (!allowed) return std::unexpected(allowed.error());
    std::vector<std::span<const std::byte>> clipped;
    for (std::size_t left = *allowed; auto part : parts) {
      if (left == 0) break;
      clipped.push_back(part.first(std::min(left, part.size())));
      left -= clipped.back().size();
    }
    auto written = file_->write(clipped);
    if (written) offset_ += *written;
    return written;
  }
  std::expected<void, IoError> truncate(std::uint64_t len) override {
    if (auto admitted = faults_->admit_truncate(); !admitted) return admitted;
    auto cut = file_->truncate(len);
    if (cut) offset_ = len;
    return cut;
  }
  std::expected<void, IoError> sync() override {
    if (auto admitted = faults_->admit_sync(); !admitted) return admitted;
    return faults_->slowed([&] { return file_->sync(); });
  }

 private:
  std::shared_ptr<FaultInjector> faults_;
  std::unique_ptr<WritableFile> file_;
  std::uint64_t offset_;
};

class FaultySequentialFile final : public SequentialFile {
 public:
  FaultySequentialFile(std::shared_ptr<FaultInjector> faults, std::unique_ptr<SequentialFile> file)
      : faults_(std::move(faults)), file_(std::move(file)) {}

  std::expected<std::size_t, IoError> read(std::span<std::byte> out) override {
    if (auto admitted = faults_->admit_read(); !admitted) return std::unexpected(admitted.error());
    return file_->read(out);
  }
  std::expected<void, IoError> seek(std::uint64_t offset) override { return file_->seek(offset); }
  std::expected<std::uint64_t, IoError> size() override {
    if (auto admitted = faults_->admit_size(); !admitted) return std::unexpected(admitted.error());
    return file_->size();
  }

 private:
  std::shared_ptr<FaultInjector> faults_;
  std::unique_ptr<SequentialFile> file_;
};

inline MakeWritableFile FaultInjector::maker() {
  return [self = shared_from_this()](UniqueFd fd) -> std::unique_ptr<WritableFile> {
    const off_t at = ::lseek(fd.get(), 0, SEEK_CUR);
    EXPECT_GE(at, 0);
    return std::make_unique<FaultyWritableFile>(self, posix_writable_file(std::move(fd)),
                                                static_cast<std::uint64_t>(std::max<off_t>(at, 0)));
  };
}

inline std::unique_ptr<SequentialFile> FaultInjector::sequential(UniqueFd fd) {
  return std::make_unique<FaultySequentialFile>(shared_from_this(), posix_sequential_file(std::move(fd)));
}

// How a flush or a sync is made to fail: at the write-out of the buffer (the
// file may not grow any more) or at the fdatasync after it, for good or just
// once (a failed sync is never retried: what it covered is unknown).
struct SyncFault {
  const char* name;
  void (*inject)(FaultInjector&, std::uint64_t file_size);
};
inline const SyncFault kSyncFaults[] = {
    {"write-out", [](FaultInjector& f, std::uint64_t size) { f.limit_size(size, EFBIG); }},
    {"fdatasync", [](FaultInjector& f, std::uint64_t) { f.fail_sync(EIO); }},
    {"one fdatasync", [](FaultInjector& f, std::uint64_t) { f.fail_one_sync(1, EIO); }},
};

}  // namespace qorva::wal::testing
