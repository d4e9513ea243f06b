#include "wal/buffered_file.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace qorva::wal {
namespace {

constexpr const char* kEndOfFile = "failed to fill whole buffer";

// Writes every part, going on after short writes where the last one stopped.
std::expected<void, IoError> write_all_parts(WritableFile& file, std::span<const std::span<const std::byte>> parts) {
  std::vector<std::span<const std::byte>> rest;
  rest.reserve(parts.size());
  for (auto part : parts)
    if (!part.empty()) rest.push_back(part);
  std::size_t next = 0;
  while (next < rest.size()) {
    auto written = file.write(std::span(rest).subspan(next));
    if (!written) return std::unexpected(written.error());
    std::size_t done = *written;
    while (next < rest.size() && done >= rest[next].size()) done -= rest[next++].size();
    if (next < rest.size()) rest[next] = rest[next].subspan(done);
  }
  return {};
}

}  // namespace

BufferedWriter::BufferedWriter(std::unique_ptr<WritableFile> file)
    : file_(std::move(file)), buf_(std::make_unique_for_overwrite<std::byte[]>(kCapacity)) {}

BufferedWriter::BufferedWriter(BufferedWriter&& other) noexcept
    : file_(std::move(other.file_)), buf_(std::move(other.buf_)), len_(std::exchange(other.len_, 0)) {}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& other) noexcept {
  if (this != &other) {
    if (file_ && len_ > 0) (void)write_out();
    file_ = std::move(other.file_);
    buf_ = std::move(other.buf_);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

BufferedWriter::~BufferedWriter() {
  if (file_ && len_ > 0) (void)write_out();
}

std::expected<void, IoError> BufferedWriter::write(std::span<const std::byte> bytes) {
  const std::span<const std::byte> parts[] = {bytes};
  return write_parts(parts);
}

std::expected<void, IoError> BufferedWriter::write_parts(std::span<const std::span<const std::byte>> parts) {
  std::size_t total = 0;
  for (auto part : parts) total += part.size();
  if (total >= kCapacity) {
    if (auto r = write_out(); !r) return r;
    return write_all_parts(*file_, parts);
  }
  return write_in_place(total, [&](std::byte* at) {
    for (auto part : parts) {
      if (!part.empty()) std::memcpy(at, part.data(), part.size());
      at += part.size();
    }
  });
}

std::expected<void, IoError> BufferedWriter::write_out() {
  std::size_t done = 0;
  while (done < len_) {
    const std::span<const std::byte> rest[] = {{buf_.get() + done, len_ - done}};
    auto written = file_->write(rest);
    if (!written) {
      std::memmove(buf_.get(), buf_.get() + done, len_ - done);
      len_ -= done;
      return std::unexpected(written.error());
    }
    done += *written;
  }
  len_ = 0;
  return {};
}

std::expected<void, IoError> BufferedWriter::sync() { return file_->sync(); }

std::expected<void, IoError> BufferedWriter::truncate(std::uint64_t len) { return file_->truncate(len); }

void BufferedWriter::abandon() {
  len_ = 0;
  file_.reset();
}

BufferedReader::BufferedReader(std::unique_ptr<SequentialFile> file)
    : file_(std::move(file)), buf_(std::make_unique_for_overwrite<std::byte[]>(kCapacity)) {}

std::expected<void, IoError> BufferedReader::seek(std::uint64_t offset) {
  pos_ = len_ = 0;
  return file_->seek(offset);
}

std::expected<void, IoError> BufferedReader::read_exact(std::span<std::byte> out) {
  while (!out.empty()) {
    if (pos_ < len_) {
      std::size_t n = std::min(out.size(), len_ - pos_);
      std::memcpy(out.data(), buf_.get() + pos_, n);
      pos_ += n;
      out = out.subspan(n);
      continue;
    }
    // Large reads bypass the buffer; small ones refill it.
    const bool direct = out.size() >= kCapacity;
    std::byte* into = direct ? out.data() : buf_.get();
    std::size_t want = direct ? out.size() : kCapacity;
    auto n = file_->read({into, want});
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return std::unexpected(IoError::fixed(IoKind::UnexpectedEof, kEndOfFile));
    if (direct) {
      out = out.subspan(*n);
    } else {
      pos_ = 0;
      len_ = *n;
    }
  }
  return {};
}

}  // namespace qorva::wal
