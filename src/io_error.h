// The platform layer's error value: an operating-system error number, or a
// kind with a fixed text that the system makes itself.
#pragma once

#include <cerrno>
#include <string>
#include <utility>

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

// Plain value. A fixed text is kept as given; an operating-system error keeps
// only its number and renders the system's description on demand.
class IoError {
 public:
  static IoError from_errno(int err) { return IoError(kind_from_errno(err), err, {}); }
  static IoError last_os_error() { return from_errno(errno); }
  static IoError fixed(IoKind kind, std::string text) { return IoError(kind, 0, std::move(text)); }

  IoKind kind() const { return kind_; }
  // The operating-system error number, or 0 for a fixed text.
  int os_errno() const { return errno_; }
  // "<strerror text> (os error N)" or the fixed text.
  std::string text() const;

 private:
  IoError(IoKind kind, int err, std::string text) : kind_(kind), errno_(err), fixed_(std::move(text)) {}
  IoKind kind_;
  int errno_;
  std::string fixed_;
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
inline constexpr const char* kNotRegularFile = "not a regular file";
}  // namespace io_text

}  // namespace qorva
