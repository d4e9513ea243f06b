// The file I/O under the log's buffered writer and reader. They never make a
// system call on a segment's data themselves: production hands them the
// POSIX files of posix_file.h, a test a file that fails on cue. Each call
// here is one system call's worth of work, made once per buffer write-out or
// refill, never per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>

#include "io_error.h"
#include "sys.h"

namespace qorva::wal {

// A file open for writing at its end. One thread at a time, except that
// sync() may run on another thread beside any call: the log's flusher syncs
// the active segment while appends go on writing to it.
class WritableFile {
 public:
  virtual ~WritableFile() = default;

  // Writes the parts back to back as far as one write goes and returns how
  // many bytes that was: at least one unless every part is empty, perhaps
  // fewer than all. On an error, nothing of this call was written.
  virtual std::expected<std::size_t, IoError> write(std::span<const std::span<const std::byte>> parts) = 0;
  // Cuts the file to `len` bytes; the next write lands at `len`.
  virtual std::expected<void, IoError> truncate(std::uint64_t len) = 0;
  // fdatasync: what was written before the call is on stable storage.
  // Blocks on disk.
  virtual std::expected<void, IoError> sync() = 0;
};

// A file open for reading from a position it keeps. One thread at a time.
class SequentialFile {
 public:
  virtual ~SequentialFile() = default;

  // Reads at most out.size() bytes at the position and moves past them;
  // returns how many, 0 at the end of the file.
  virtual std::expected<std::size_t, IoError> read(std::span<std::byte> out) = 0;
  // Moves the position to `offset` bytes from the start.
  virtual std::expected<void, IoError> seek(std::uint64_t offset) = 0;
  // The file's length now.
  virtual std::expected<std::uint64_t, IoError> size() = 0;
};

// Makes the file a segment writer writes through from the descriptor of the
// segment it has just created; never fails. The log's seam for tests.
using MakeWritableFile = std::function<std::unique_ptr<WritableFile>(UniqueFd fd)>;

}  // namespace qorva::wal
