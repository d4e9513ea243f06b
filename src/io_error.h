// The platform layer's error value: an operating-system error number, or a
// kind with a fixed text that the system makes itself.
#pragma once

#include <cerrno>
#include <string>

namespace qorva {

// What kind of failure an I/O error is. Callers branch on it (iteration over a
// subscription ends quietly on UnexpectedEof and ConnectionReset), so it must
// survive every wrapping unchanged.
enum class IoKind {
  NotFound,
  AlreadyExists,
  WouldBlock,
  TimedOut,
  Interrupted,
  ConnectionReset,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  Other,
};

IoKind kind_from_errno(int err);

// Plain value, cheap to copy. A fixed text must be a string literal (it is kept
// by pointer).
class IoError {
 public:
  static IoError from_errno(int err) { return IoError(kind_from_errno(err), err, nullptr); }
  static IoError last_os_error() { return from_errno(errno); }
  static IoError fixed(IoKind kind, const char* text) { return IoError(kind, 0, text); }

  IoKind kind() const { return kind_; }
  // The operating-system error number, or 0 for a fixed text.
  int os_errno() const { return errno_; }
  // "<strerror text> (os error N)" or the fixed text.
  std::string text() const;

 private:
  IoError(IoKind kind, int err, const char* text) : kind_(kind), errno_(err), fixed_(text) {}
  IoKind kind_;
  int errno_;
  const char* fixed_;
};

// The fixed texts the system produces itself.
namespace io_text {
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kPathTooLong = "path must be shorter than SUN_LEN";
inline constexpr const char* kOutOfRange = "out of range integral type conversion attempted";
inline constexpr const char* kInvalidTopicName = "invalid topic name";
inline constexpr const char* kInvalidBusName = "invalid bus name";
inline constexpr const char* kPublisherDisconnected = "publisher disconnected";
inline constexpr const char* kPublisherRestarted = "publisher restarted (generation changed)";
inline constexpr const char* kExpectedScmRights = "expected SCM_RIGHTS";
inline constexpr const char* kPollTimeout = "poll timeout";
}  // namespace io_text

}  // namespace qorva
