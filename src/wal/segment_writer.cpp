#include "segment_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "record.h"

namespace qorva::wal {
namespace {

constexpr std::size_t kScratchCapacity = 4096;

std::unexpected<WriterError> io_error(IoError e) { return std::unexpected(WriterError{WriterError::Io{e}}); }

std::expected<void, IoError> sync_data(int fd) {
  if (retry_eintr([&] { return ::fdatasync(fd); }) != 0) return std::unexpected(IoError::last_os_error());
  return {};
}

}  // namespace

BufferedWriter::BufferedWriter(UniqueFd fd)
    : fd_(std::move(fd)), buf_(std::make_unique_for_overwrite<std::byte[]>(kCapacity)) {}

BufferedWriter::BufferedWriter(BufferedWriter&& other) noexcept
    : fd_(std::move(other.fd_)), buf_(std::move(other.buf_)), len_(std::exchange(other.len_, 0)) {}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& other) noexcept {
  if (this != &other) {
    if (fd_ && len_ > 0) (void)write_out();
    fd_ = std::move(other.fd_);
    buf_ = std::move(other.buf_);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

BufferedWriter::~BufferedWriter() {
  if (fd_ && len_ > 0) (void)write_out();
}

std::expected<void, IoError> BufferedWriter::write(std::span<const std::byte> bytes) {
  if (bytes.size() >= kCapacity) {
    if (auto r = write_out(); !r) return r;
    return write_all(fd_.get(), bytes.data(), bytes.size());
  }
  if (bytes.size() > kCapacity - len_) {
    if (auto r = write_out(); !r) return r;
  }
  std::memcpy(buf_.get() + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
  return {};
}

std::expected<void, IoError> BufferedWriter::write_out() {
  std::size_t done = 0;
  while (done < len_) {
    ssize_t n = retry_eintr([&] { return ::write(fd_.get(), buf_.get() + done, len_ - done); });
    if (n < 0) {
      IoError error = IoError::last_os_error();
      std::memmove(buf_.get(), buf_.get() + done, len_ - done);
      len_ -= done;
      return std::unexpected(error);
    }
    done += static_cast<std::size_t>(n);
  }
  len_ = 0;
  return {};
}

void BufferedWriter::abandon() {
  len_ = 0;
  fd_.reset();
}

SegmentWriter::SegmentWriter(std::string path, BufferedWriter file, std::uint64_t first_cursor)
    : path_(std::move(path)),
      file_(std::move(file)),
      first_cursor_(first_cursor),
      pending_cursor_(first_cursor),
      bytes_written_(HEADER_LEN) {
  scratch_.reserve(kScratchCapacity);
}

std::expected<SegmentWriter, WriterError> SegmentWriter::create(std::string path, std::uint64_t first_cursor) {
  auto c_path = checked_path(path);
  if (!c_path) return io_error(c_path.error());
  int fd = retry_eintr([&] { return ::open(*c_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
  if (fd < 0) return io_error(IoError::last_os_error());
  BufferedWriter file{UniqueFd(fd)};

  std::array<std::byte, HEADER_LEN> header;
  encode_segment_header(header, first_cursor, unix_time_ns());
  auto written = file.write(header);
  if (written) written = file.write_out();
  if (written) written = sync_data(file.fd());
  if (!written) {
    // The file is ours and holds no record: leave nothing behind that would
    // make the retry fail with EEXIST or the next open on a short header.
    file.abandon();
    ::unlink(*c_path);
    return io_error(written.error());
  }
  return SegmentWriter(std::move(path), std::move(file), first_cursor);
}

std::expected<void, WriterError> SegmentWriter::append(std::uint64_t cursor, std::uint64_t timestamp_ns,
                                                       std::span<const std::byte> payload) {
  if (payload.size() > MAX_PAYLOAD_LEN) return std::unexpected(WriterError{WriterError::PayloadTooLarge{payload.size()}});
  if (cursor != pending_cursor_)
    return std::unexpected(WriterError{WriterError::NonMonotonic{cursor, pending_cursor_}});
  if (broken_) return io_error(*broken_);

  scratch_.clear();
  encode_record_into(scratch_, cursor, timestamp_ns, payload);
  if (auto r = file_.write(scratch_); !r) {
    if (file_.buffered() == 0) cut_back_after_failed_write(r.error());
    return io_error(r.error());
  }
  bytes_written_ += scratch_.size();
  pending_cursor_ = cursor + 1;
  return {};
}

void SegmentWriter::cut_back_after_failed_write(const IoError& error) {
  // With the buffer empty every accepted byte is in the file, so the file
  // must end at bytes_written; anything past it is part of the failed record.
  const auto keep = static_cast<off_t>(bytes_written_);
  if (retry_eintr([&] { return ::ftruncate(file_.fd(), keep); }) != 0 || ::lseek(file_.fd(), keep, SEEK_SET) != keep)
    broken_ = error;
}

std::expected<std::uint64_t, WriterError> SegmentWriter::fsync() {
  auto synced = file_.write_out();
  if (synced) synced = sync_data(file_.fd());
  if (!synced) return io_error(synced.error());
  return pending_cursor_;
}

std::expected<void, WriterError> SegmentWriter::close(SegmentWriter writer) {
  auto synced = writer.fsync();
  if (!synced) return std::unexpected(synced.error());
  return {};
}

}  // namespace qorva::wal
