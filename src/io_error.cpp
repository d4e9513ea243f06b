#include "io_error.h"

#include <cstring>

namespace qorva {

IoKind kind_from_errno(int err) {
  switch (err) {
    case ENOENT:
      return IoKind::NotFound;
    case EEXIST:
      return IoKind::AlreadyExists;
    case EAGAIN:
      return IoKind::WouldBlock;
    case ETIMEDOUT:
      return IoKind::TimedOut;
    case EINTR:
      return IoKind::Interrupted;
    case ECONNRESET:
      return IoKind::ConnectionReset;
    case EINVAL:
      return IoKind::InvalidInput;
    default:
      return IoKind::Other;
  }
}

std::string IoError::text() const {
  if (errno_ == 0) return fixed_;
  char buf[256];
  // glibc's GNU strerror_r returns the text to use, which may not be buf.
  const char* description = strerror_r(errno_, buf, sizeof buf);
  return std::string(description) + " (os error " + std::to_string(errno_) + ")";
}

}  // namespace qorva
