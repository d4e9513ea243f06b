// 8 KiB buffers over the files of file.h: the segment writer appends
// through a BufferedWriter, the segment reader reads through a
// BufferedReader. Neither knows the segment format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "io_error.h"
#include "wal/file.h"

namespace qorva::wal {

// An 8192-byte write buffer in front of a file it owns. Writes shorter
// than the buffer are copied in (after a write-out when they do not fit);
// longer ones go straight to the file after a write-out. A failed write-out
// keeps the unwritten bytes in the buffer, in order. The file is called once
// per write-out (more only after a short write), never per buffered write.
// Move-only; one thread at a time. Destruction writes out what is buffered
// (ignoring a failure; no sync), then lets go of the file, which closes with
// its last reference.
class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(std::unique_ptr<WritableFile> file);
  BufferedWriter(BufferedWriter&& other) noexcept;
  BufferedWriter& operator=(BufferedWriter&& other) noexcept;
  ~BufferedWriter();

  std::expected<void, IoError> write(std::span<const std::byte> bytes);
  // Writes the parts back to back, as one write() of their concatenation
  // would: buffered when they total less than the buffer, else straight
  // through with gathered writes after a write-out.
  std::expected<void, IoError> write_parts(std::span<const std::span<const std::byte>> parts);
  // Lets `fill` write `len` bytes (less than kCapacity) straight into the
  // buffer, after a write-out if they do not fit its free space.
  template <class Fill>
  std::expected<void, IoError> write_in_place(std::size_t len, Fill&& fill) {
    if (len > kCapacity - len_) {
      if (auto r = write_out(); !r) return r;
    }
    fill(buf_.get() + len_);
    len_ += len;
    return {};
  }
  // Writes the buffered bytes to the file, without a sync.
  std::expected<void, IoError> write_out();
  // Syncs what was written out (WritableFile::sync); the buffer stays.
  std::expected<void, IoError> sync();
  // Cuts the file to `len` bytes; only while nothing is buffered.
  std::expected<void, IoError> truncate(std::uint64_t len);
  // A reference to the file, for syncing from another thread what was
  // written out; it keeps the file open after this writer closes it.
  std::shared_ptr<WritableFile> shared_file() const { return file_; }
  // Drops the buffered bytes unwritten and lets go of the file; for a copy of
  // the writer inherited by a forked child, which must not write again.
  void abandon();

  std::size_t buffered() const { return len_; }

 private:
  std::shared_ptr<WritableFile> file_;
  std::unique_ptr<std::byte[]> buf_;
  std::size_t len_ = 0;
};

// An 8192-byte read buffer in front of a file it owns. seek() drops
// whatever is buffered. Move-only; one thread at a time.
class BufferedReader {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedReader(std::unique_ptr<SequentialFile> file);

  std::expected<void, IoError> seek(std::uint64_t offset);
  // Fills all of `out`; the end of the file first is an I/O error of kind
  // UnexpectedEof.
  std::expected<void, IoError> read_exact(std::span<std::byte> out);
  // The file's length now, which may have changed since it was opened.
  std::expected<std::uint64_t, IoError> size() { return file_->size(); }

 private:
  std::unique_ptr<SequentialFile> file_;
  std::unique_ptr<std::byte[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace qorva::wal
