// Reads segment files back and verifies every record. Nothing here writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io_error.h"
#include "wal/buffered_file.h"
#include "wal/file.h"
#include "wal/wal_error.h"

namespace qorva::wal {

// One log record as read back; owned by the caller.
struct Record {
  std::vector<std::byte> payload;
  std::uint64_t cursor = 0;
  std::uint64_t timestamp_ns = 0;
};

// One segment opened for reading, its header checked. Reading never goes past
// the file's length at open, even if the file grows meanwhile. Move-only; one
// thread at a time; owns its file.
class SegmentReader {
 public:
  // Errors: Io (open, size or read failed; a symbolic link on the way, or a
  // file that is not regular, such as a FIFO, is refused without blocking),
  // Header (short, wrong magic or version). The number in the file's name is
  // not compared with the header.
  static std::expected<SegmentReader, SegmentReadError> open(std::string path);
  // The same over a file the caller opened; `path` only names it. Errors:
  // Io (size or read failed), Header.
  static std::expected<SegmentReader, SegmentReadError> open(std::string path, std::unique_ptr<SequentialFile> file);

  const std::string& path() const { return path_; }
  std::uint64_t first_cursor() const { return first_cursor_; }
  std::uint64_t created_unix_ns() const { return created_unix_ns_; }
  std::uint64_t file_len() const { return file_len_; }
  // Byte offset of the next record to read; kHeaderLen after open.
  std::uint64_t offset() const { return offset_; }
  // Set once a read has failed; the reader then yields nothing more.
  bool done() const { return done_; }

  void advance(std::uint64_t record_len) { offset_ += record_len; }
  void mark_done() { done_ = true; }
  // Moves to a record boundary found earlier, clearing `done`.
  void resume_at(std::uint64_t offset) {
    offset_ = offset;
    done_ = false;
  }
  BufferedReader& file() { return file_; }

 private:
  SegmentReader(std::string path, BufferedReader file, std::uint64_t first_cursor, std::uint64_t created_unix_ns,
                std::uint64_t file_len);

  std::string path_;
  BufferedReader file_;
  std::uint64_t first_cursor_;
  std::uint64_t created_unix_ns_;
  std::uint64_t file_len_;
  std::uint64_t offset_;
  bool done_ = false;
};

// A verified record and its encoded length (to advance an offset by).
struct ReadRecord {
  Record record;
  std::uint64_t record_len = 0;
};

// Reads and verifies the record at `offset`, never past `limit`. Nothing (the
// end) when offset >= limit. Errors: ShortRead (the record extends past the
// limit), RecordLen (length word outside [28, kMaxRecordLen] or not
// payload_len + 28), Crc, Io (seek or read failed, the file's end included).
std::expected<std::optional<ReadRecord>, SegmentReadError> read_one_record(BufferedReader& file, std::uint64_t offset,
                                                                           std::uint64_t limit);

// Walks a borrowed reader's records in file order: its sound records, then at
// most one error, then nothing for good. Advances the reader's offset and sets
// its `done` flag. The reader must outlive the iterator.
class RecordIter {
 public:
  explicit RecordIter(SegmentReader& reader) : reader_(reader) {}
  std::optional<std::expected<Record, SegmentReadError>> next();

 private:
  SegmentReader& reader_;
};

// The file size carried by a SegmentHeaderError::Truncated inside `error`
// (a file shorter than its header), or nothing for any other error.
std::optional<std::uint64_t> truncated_header_size(const SegmentReadError& error);

}  // namespace qorva::wal
