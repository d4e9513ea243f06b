// The only writer of a segment file: creates it exclusively with its header,
// appends framed records with strictly consecutive cursors through an 8 KiB
// write buffer, and makes them durable with fdatasync on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "../io_error.h"
#include "file.h"
#include "posix_file.h"
#include "wal_error.h"

namespace qorva::wal {

// An 8192-byte write buffer in front of a file it owns. Writes shorter
// than the buffer are copied in (after a write-out when they do not fit);
// longer ones go straight to the file after a write-out. A failed write-out
// keeps the unwritten bytes in the buffer, in order. The file is called once
// per write-out (more only after a short write), never per buffered write.
// Move-only; one thread at a time. Destruction writes out what is buffered
// (ignoring a failure; no sync), then closes the file.
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
  // Another handle on the file, to sync it from another thread.
  std::expected<std::unique_ptr<WritableFile>, IoError> duplicate();
  // Drops the buffered bytes unwritten and closes the file; for a copy of
  // the writer inherited by a forked child, which must not write again.
  void abandon();

  std::size_t buffered() const { return len_; }

 private:
  std::unique_ptr<WritableFile> file_;
  std::unique_ptr<std::byte[]> buf_;
  std::size_t len_ = 0;
};

// One active segment. Move-only; used by one thread at a time (the log keeps
// it under its mutex). Destroying it without close() writes out the buffer
// without a sync and closes the file.
class SegmentWriter {
 public:
  // Creates `path` exclusively (O_EXCL, mode 0666 less the umask; no link on
  // the way is followed), writes the header and fdatasyncs it, then fsyncs
  // the directory so that the new name is durable too. On failure the file,
  // if this call created it, is removed again, so a retry can succeed; an
  // existing file (a link included) fails with WriterError::Io (EEXIST) and
  // is left untouched. The writer writes through make_file(descriptor).
  static std::expected<SegmentWriter, WriterError> create(std::string path, std::uint64_t first_cursor,
                                                          const MakeWritableFile& make_file = posix_writable_file);

  // Appends one record; `cursor` must be pending_cursor(). Errors:
  // PayloadTooLarge and NonMonotonic (nothing written), Io (cursors and
  // bytes_written unchanged; the file holds no part of this record, or the
  // writer is broken and refuses every later append with that same error).
  std::expected<void, WriterError> append(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                          std::span<const std::byte> payload);

  // Writes out the buffer and fdatasyncs; returns the pending_cursor below
  // which every record is now on stable storage. A failure leaves the
  // cursors as they were and the writer usable.
  std::expected<std::uint64_t, WriterError> fsync();

  // fsync, then destroys the writer whatever the outcome. Success means the
  // whole segment is on stable storage.
  static std::expected<void, WriterError> close(SegmentWriter writer);

  const std::string& path() const { return path_; }
  std::uint64_t first_cursor() const { return first_cursor_; }
  std::uint64_t pending_cursor() const { return pending_cursor_; }
  // Header plus every accepted record, buffered or not.
  std::uint64_t bytes_written() const { return bytes_written_; }
  // The buffered file, for the log's flusher and teardown.
  BufferedWriter& file() { return file_; }

 private:
  SegmentWriter(std::string path, BufferedWriter file, std::uint64_t first_cursor);
  std::expected<void, IoError> write_record(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                            std::span<const std::byte> payload);
  // After a failed write that left the buffer empty, cuts off whatever part
  // of the record reached the file; breaks the writer if it cannot.
  void cut_back_after_failed_write(const IoError& error);

  std::string path_;
  BufferedWriter file_;
  std::uint64_t first_cursor_;
  std::uint64_t pending_cursor_;
  std::uint64_t bytes_written_;
  // Set once the file may end in a fragment that could not be cut off.
  std::optional<IoError> broken_;
};

}  // namespace qorva::wal
