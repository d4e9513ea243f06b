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

// A path as a C string, refused with nul_in_path_error() when it holds a NUL
// byte (C would silently truncate it there).
std::expected<const char*, IoError> checked_path(const std::string& path);
// Invalid input "file name contained an unexpected NUL byte": the refusal of
// every path or name with a NUL byte in it.
IoError nul_in_path_error();

// Joins a name to a directory: an absolute name replaces the directory.
std::string join_path(std::string_view dir, std::string_view name);

// Every path the system opens, creates or removes is resolved without
// following a symbolic link: each directory on the way is opened from the one
// before with O_DIRECTORY | O_NOFOLLOW, starting at "/" (or the working
// directory for a relative path), and the last component is acted on relative
// to its directory, never through a link. A link anywhere in the path fails
// with ELOOP. The caller resolves the links of a directory it
// chose itself first (resolve_links); below it, nothing planted there is
// followed.

// The path with the links of its longest existing prefix resolved (realpath);
// the missing rest is appended unchanged. A path that cannot be resolved (a
// NUL byte, no permission) comes back as given, for the opens to refuse.
std::string resolve_links(const std::string& path);

// The directory holding a path's last component, and that component's name.
struct ParentDir {
  UniqueFd fd;  // O_PATH: for the *at calls only
  std::string name;
};

// Opens the directory that holds the last component of `path` (which must
// name something below a directory: not "/", not empty).
std::expected<ParentDir, IoError> open_parent_dir(const std::string& path);

// Opens `name` in the directory `dir_fd` (flags: the access mode plus any of
// O_CREAT, O_EXCL, O_TRUNC; close-on-exec always), refusing a link (ELOOP)
// and anything that is not a regular file (a FIFO, socket, device or
// directory: invalid input "<name>: not a regular file"). Never blocks.
std::expected<UniqueFd, IoError> open_regular_at(int dir_fd, const std::string& name, int flags, unsigned mode = 0666);

// open_parent_dir, then open_regular_at.
std::expected<UniqueFd, IoError> open_regular(const std::string& path, int flags, unsigned mode = 0666);

// Opens the directory at `path` for reading (listing, fsync).
std::expected<UniqueFd, IoError> open_dir(const std::string& path);

// Removes the file (not a directory) at `path`; a link is removed itself.
std::expected<void, IoError> remove_file(const std::string& path);

// Removes the empty directory at `path`.
std::expected<void, IoError> remove_dir(const std::string& path);

// fsync of the directory `dir_fd` (may be an O_PATH descriptor), making the
// entries created in it durable.
std::expected<void, IoError> sync_dir(int dir_fd);

// Creates a directory and any missing parent (mode 0777 before the umask),
// tolerating concurrent creation. Each directory it creates is made durable
// in its parent (the parent is fsynced).
std::expected<void, IoError> create_dir_all(const std::string& path);

// Writes all of buf, continuing after partial writes and EINTR.
std::expected<void, IoError> write_all(int fd, const void* buf, std::size_t len);

}  // namespace qorva
