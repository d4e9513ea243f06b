#include "wal/segment_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <utility>

#include "clock.h"
#include "sys.h"
#include "wal/record.h"

namespace qorva::wal {
SegmentWriter::SegmentWriter(std::string path, BufferedWriter file, std::uint64_t first_cursor)
    : path_(std::move(path)),
      file_(std::move(file)),
      first_cursor_(first_cursor),
      pending_cursor_(first_cursor),
      bytes_written_(kHeaderLen) {}

std::expected<SegmentWriter, WriterError> SegmentWriter::create(std::string path, std::uint64_t first_cursor,
                                                                const MakeWritableFile& make_file) {
  auto dir = open_parent_dir(path);
  if (!dir) return std::unexpected<WriterError>(dir.error());
  auto fd = open_regular_at(dir->fd.get(), dir->name, O_WRONLY | O_CREAT | O_EXCL);
  if (!fd) return std::unexpected<WriterError>(fd.error());
  BufferedWriter file{make_file(std::move(*fd))};

  std::array<std::byte, kHeaderLen> header;
  encode_segment_header(header, first_cursor, unix_time_ns());
  auto written = file.write(header);
  if (written) written = file.write_out();
  if (written) written = file.sync();
  // The new name must survive a power loss as well: without the directory's
  // sync the whole segment, and every record later synced into it, can vanish.
  if (written) written = sync_dir(dir->fd.get());
  if (!written) {
    // The file is ours and holds no record: leave nothing behind that would
    // make the retry fail with EEXIST or the next open on a short header.
    file.abandon();
    ::unlinkat(dir->fd.get(), dir->name.c_str(), 0);
    return std::unexpected<WriterError>(written.error());
  }
  return SegmentWriter(std::move(path), std::move(file), first_cursor);
}

std::expected<void, WriterError> SegmentWriter::append(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                                       std::span<const std::byte> payload) {
  if (payload.size() > kMaxPayloadLen)
    return std::unexpected<WriterError>(WriterError::PayloadTooLarge{payload.size()});
  if (cursor != pending_cursor_)
    return std::unexpected<WriterError>(WriterError::NonMonotonic{cursor, pending_cursor_});
  if (broken_) return std::unexpected<WriterError>(*broken_);

  if (auto r = write_record(cursor, timestamp_ns, payload); !r) {
    if (file_.buffered() == 0) cut_back_after_failed_write(r.error());
    return std::unexpected<WriterError>(r.error());
  }
  bytes_written_ += payload.size() + kRecordFramingLen;
  pending_cursor_ = cursor + 1;
  return {};
}

// A record that fits the buffer is framed right into it; a larger one is
// written from the caller's payload between its framing, so its bytes are
// copied only by the kernel.
std::expected<void, IoError> SegmentWriter::write_record(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                                         std::span<const std::byte> payload) {
  const std::size_t record_len = payload.size() + kRecordFramingLen;
  if (record_len < BufferedWriter::kCapacity)
    return file_.write_in_place(record_len,
                                [&](std::byte* at) { encode_record_at(at, cursor, timestamp_ns, payload); });
  const RecordFrame frame = frame_record(cursor, timestamp_ns, payload);
  const std::span<const std::byte> parts[] = {frame.head, payload, frame.crc};
  return file_.write_parts(parts);
}

void SegmentWriter::cut_back_after_failed_write(const IoError& error) {
  // With the buffer empty every accepted byte is in the file, so the file
  // must end at bytes_written; anything past it is part of the failed record.
  if (!file_.truncate(bytes_written_)) broken_ = error;
}

std::expected<std::uint64_t, WriterError> SegmentWriter::fsync() {
  auto synced = file_.write_out();
  if (synced) synced = file_.sync();
  if (!synced) return std::unexpected<WriterError>(synced.error());
  return pending_cursor_;
}

std::expected<void, WriterError> SegmentWriter::close(SegmentWriter writer) {
  auto synced = writer.fsync();
  if (!synced) return std::unexpected(synced.error());
  return {};
}

}  // namespace qorva::wal
