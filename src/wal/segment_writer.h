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

#include "io_error.h"
#include "wal/buffered_file.h"
#include "wal/file.h"
#include "wal/posix_file.h"
#include "wal/wal_error.h"

namespace qorva::wal {

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
