#include "sys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace qorva {
namespace {

constexpr const char* kNulInPathText = "file name contained an unexpected NUL byte";
constexpr const char* kNotRegularFileText = "not a regular file";

}  // namespace

IoError nul_in_path_error() { return IoError::fixed(IoKind::InvalidInput, kNulInPathText); }

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::expected<const char*, IoError> checked_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::unexpected(nul_in_path_error());
  return path.c_str();
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  if (dir.empty()) return std::string(name);
  std::string out(dir);
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

namespace {

std::unexpected<IoError> os_failure(int err) { return std::unexpected(IoError::from_errno(err)); }
std::unexpected<IoError> last_failure() { return std::unexpected(IoError::last_os_error()); }

// The components of `path`, without empty and "." ones.
std::vector<std::string> components_of(std::string_view path) {
  std::vector<std::string> out;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view c = path.substr(0, slash);
    if (!c.empty() && c != ".") out.emplace_back(c);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

// A descriptor of the directory `dir_fd` (an O_PATH one, say) that can be
// read and synced.
std::expected<UniqueFd, IoError> reopen_readable(int dir_fd) {
  UniqueFd fd(retry_eintr([&] { return ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!fd) return last_failure();
  return fd;
}

// "/" for an absolute path, else the working directory.
std::expected<UniqueFd, IoError> open_start(std::string_view path) {
  const char* start = path.starts_with('/') ? "/" : ".";
  UniqueFd fd(retry_eintr([&] { return ::open(start, O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  if (!fd) return last_failure();
  return fd;
}

// The subdirectory `name` of `dir_fd`, never through a link. A link there
// fails with ELOOP (the kernel says ENOTDIR for it), anything else that is not
// a directory with ENOTDIR, a missing one with ENOENT.
std::expected<UniqueFd, IoError> open_subdir(int dir_fd, const std::string& name) {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd fd(retry_eintr([&] { return ::openat(dir_fd, name.c_str(), kFlags); }));
  if (fd) return fd;
  const int err = errno;
  struct stat st {};
  if (err == ENOTDIR && ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    return os_failure(ELOOP);
  return os_failure(err);
}

// Walks `dirs` from `fd` down; with `create`, makes each missing one (made
// durable in its parent) and tolerates a concurrent creator.
std::expected<UniqueFd, IoError> walk(UniqueFd fd, const std::vector<std::string>& dirs, bool create) {
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    const std::string& name = dirs[i];
    auto next = open_subdir(fd.get(), name);
    if (!next && create && next.error().os_errno() == ENOENT) {
      if (::mkdirat(fd.get(), name.c_str(), 0777) == 0) {
        // A directory we may create in but not read cannot be synced; its
        // new entry is then as durable as the file system makes it.
        if (auto synced = sync_dir(fd.get()); !synced && synced.error().os_errno() != EACCES)
          return std::unexpected(synced.error());
      } else if (errno != EEXIST) {
        return last_failure();
      }
      next = open_subdir(fd.get(), name);
    }
    if (!next) {
      // As mkdir says it: the directory to make exists as something else.
      if (create && i + 1 == dirs.size() && next.error().os_errno() == ENOTDIR) return os_failure(EEXIST);
      return std::unexpected(next.error());
    }
    fd = std::move(*next);
  }
  return fd;
}

std::expected<UniqueFd, IoError> open_dir_path(const std::string& path, bool create) {
  if (auto c = checked_path(path); !c) return std::unexpected(c.error());
  auto start = open_start(path);
  if (!start) return start;
  return walk(std::move(*start), components_of(path), create);
}

}  // namespace

std::string resolve_links(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string out(real);
    std::free(real);
    return out;
  }
  if (errno != ENOENT) return path;
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return join_path(resolve_links("."), path);
  if (slash == 0) return path;
  return join_path(resolve_links(path.substr(0, slash)), path.substr(slash + 1));
}

std::expected<ParentDir, IoError> open_parent_dir(const std::string& path) {
  if (auto c = checked_path(path); !c) return std::unexpected(c.error());
  std::vector<std::string> parts = components_of(path);
  if (parts.empty()) return os_failure(EINVAL);
  std::string name = std::move(parts.back());
  parts.pop_back();
  auto start = open_start(path);
  if (!start) return std::unexpected(start.error());
  auto dir = walk(std::move(*start), parts, false);
  if (!dir) return std::unexpected(dir.error());
  return ParentDir{std::move(*dir), std::move(name)};
}

std::expected<UniqueFd, IoError> open_regular_at(int dir_fd, const std::string& name, int flags, unsigned mode) {
  // O_NONBLOCK keeps the open of a FIFO or device from waiting (it has no
  // effect on a regular file, so it stays set).
  auto not_regular = [&] {
    return std::unexpected(IoError::fixed(IoKind::InvalidInput, name + ": " + kNotRegularFileText));
  };
  UniqueFd fd(
      retry_eintr([&] { return ::openat(dir_fd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode); }));
  // ENXIO: a FIFO without a reader opened for writing, or a socket.
  if (!fd) return errno == ENXIO ? not_regular() : last_failure();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return last_failure();
  if (!S_ISREG(st.st_mode)) return not_regular();
  return fd;
}

std::expected<UniqueFd, IoError> open_regular(const std::string& path, int flags, unsigned mode) {
  auto parent = open_parent_dir(path);
  if (!parent) return std::unexpected(parent.error());
  return open_regular_at(parent->fd.get(), parent->name, flags, mode);
}

std::expected<UniqueFd, IoError> open_dir(const std::string& path) {
  auto dir = open_dir_path(path, false);
  if (!dir) return dir;
  return reopen_readable(dir->get());
}

std::expected<void, IoError> remove_file(const std::string& path) {
  auto parent = open_parent_dir(path);
  if (!parent) return std::unexpected(parent.error());
  if (::unlinkat(parent->fd.get(), parent->name.c_str(), 0) != 0) return last_failure();
  return {};
}

std::expected<void, IoError> remove_dir(const std::string& path) {
  auto parent = open_parent_dir(path);
  if (!parent) return std::unexpected(parent.error());
  if (::unlinkat(parent->fd.get(), parent->name.c_str(), AT_REMOVEDIR) != 0) return last_failure();
  return {};
}

std::expected<void, IoError> sync_dir(int dir_fd) {
  auto fd = reopen_readable(dir_fd);
  if (!fd) return std::unexpected(fd.error());
  if (retry_eintr([&] { return ::fsync(fd->get()); }) != 0) return last_failure();
  return {};
}

std::expected<void, IoError> create_dir_all(const std::string& path) {
  auto made = open_dir_path(path, true);
  if (!made) return std::unexpected(made.error());
  return {};
}

std::expected<void, IoError> write_all(int fd, const void* buf, std::size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = retry_eintr([&] { return ::write(fd, p, len); });
    if (n < 0) return std::unexpected(IoError::last_os_error());
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace qorva
