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

std::expected<void, IoError> create_dir_all(const std::string& path) {
  auto c = checked_path(path);
  if (!c) return std::unexpected(c.error());
  if (::mkdir(*c, 0777) == 0) return {};
  int err = errno;
  if (err == EEXIST) {
    struct stat st{};
    if (::stat(*c, &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return std::unexpected(IoError::from_errno(err));
  }
  if (err != ENOENT) return std::unexpected(IoError::from_errno(err));
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return std::unexpected(IoError::from_errno(err));
  if (auto parent = create_dir_all(path.substr(0, slash)); !parent) return parent;
  if (::mkdir(*c, 0777) == 0 || errno == EEXIST) return {};
  return std::unexpected(IoError::last_os_error());
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
