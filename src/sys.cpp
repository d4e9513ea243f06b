#include "sys.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace qorva {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::expected<const char*, IoError> checked_path(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return std::unexpected(IoError::fixed(IoKind::InvalidInput, io_text::kNulInPath));
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

// mkdir, with a directory already there (made by a concurrent creator, say)
// counting as success. Returns 0 or the error number.
int make_dir(const char* path) {
  if (::mkdir(path, 0777) == 0) return 0;
  const int err = errno;
  struct stat st{};
  if (err == EEXIST && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return err;
}

}  // namespace

std::expected<void, IoError> create_dir_all(const std::string& path) {
  auto c = checked_path(path);
  if (!c) return std::unexpected(c.error());
  int err = make_dir(*c);
  if (err == 0) return {};
  if (err != ENOENT) return std::unexpected(IoError::from_errno(err));
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return std::unexpected(IoError::from_errno(err));
  if (auto parent = create_dir_all(path.substr(0, slash)); !parent) return parent;
  err = make_dir(*c);
  if (err != 0) return std::unexpected(IoError::from_errno(err));
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
