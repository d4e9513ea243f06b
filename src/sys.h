// Small owners and helpers over Linux system calls, shared by every unit.
#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "io_error.h"

namespace qorva {

// Owns one file descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Repeats a system call while it fails with EINTR.
template <class F>
auto retry_eintr(F&& call) {
  for (;;) {
    auto r = call();
    if (r != -1 || errno != EINTR) return r;
  }
}

// A path as a C string, refused when it holds a NUL byte (C would silently
// truncate it there).
std::expected<const char*, IoError> checked_path(const std::string& path);

// Joins a name to a directory: an absolute name replaces the directory.
std::string join_path(std::string_view dir, std::string_view name);

// Creates a directory and any missing parent (mode 0777 before the umask),
// tolerating concurrent creation.
std::expected<void, IoError> create_dir_all(const std::string& path);

// Writes all of buf, continuing after partial writes and EINTR.
std::expected<void, IoError> write_all(int fd, const void* buf, std::size_t len);

}  // namespace qorva
