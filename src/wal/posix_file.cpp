#include "wal/posix_file.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <vector>

namespace qorva::wal {
namespace {

std::unexpected<IoError> last_error() { return std::unexpected(IoError::last_os_error()); }

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(UniqueFd fd) : fd_(std::move(fd)) {}

  std::expected<std::size_t, IoError> write(std::span<const std::span<const std::byte>> parts) override {
    ssize_t n = parts.size() == 1 ? retry_eintr([&] { return ::write(fd_.get(), parts[0].data(), parts[0].size()); })
                                  : write_gathered(parts);
    if (n < 0) return last_error();
    return static_cast<std::size_t>(n);
  }

  std::expected<void, IoError> truncate(std::uint64_t len) override {
    const auto keep = static_cast<off_t>(len);
    if (retry_eintr([&] { return ::ftruncate(fd_.get(), keep); }) != 0 || ::lseek(fd_.get(), keep, SEEK_SET) != keep)
      return last_error();
    return {};
  }

  std::expected<void, IoError> sync() override {
    if (retry_eintr([&] { return ::fdatasync(fd_.get()); }) != 0) return last_error();
    return {};
  }

 private:
  ssize_t write_gathered(std::span<const std::span<const std::byte>> parts) {
    std::vector<iovec> iov;
    iov.reserve(parts.size());
    for (auto part : parts) iov.push_back({const_cast<std::byte*>(part.data()), part.size()});
    return retry_eintr([&] { return ::writev(fd_.get(), iov.data(), static_cast<int>(iov.size())); });
  }

  UniqueFd fd_;
};

class PosixSequentialFile final : public SequentialFile {
 public:
  explicit PosixSequentialFile(UniqueFd fd) : fd_(std::move(fd)) {}

  std::expected<std::size_t, IoError> read(std::span<std::byte> out) override {
    ssize_t n = retry_eintr([&] { return ::read(fd_.get(), out.data(), out.size()); });
    if (n < 0) return last_error();
    return static_cast<std::size_t>(n);
  }

  std::expected<void, IoError> seek(std::uint64_t offset) override {
    if (::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return last_error();
    return {};
  }

  std::expected<std::uint64_t, IoError> size() override {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return last_error();
    return static_cast<std::uint64_t>(st.st_size);
  }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<WritableFile> posix_writable_file(UniqueFd fd) {
  return std::make_unique<PosixWritableFile>(std::move(fd));
}

std::unique_ptr<SequentialFile> posix_sequential_file(UniqueFd fd) {
  return std::make_unique<PosixSequentialFile>(std::move(fd));
}

}  // namespace qorva::wal
