// The platform layer's error value: an operating-system error number, or a
// kind with a text that the system words itself. The text is for people: code
// that must tell failures apart branches on kind() or outcome(), never on
// text(), so that rewording a message moves no call.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

namespace qorva {

// What kind of failure an I/O error is. Callers branch on it (a wait's own
// timeout is WouldBlock, a missing file NotFound), so it survives every
// wrapping unchanged.
enum class IoKind : std::uint8_t {
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

// The failures of the system's own making that callers tell apart from others
// of their kind. Each is made, and worded, by one unit (named beside it), and
// survives every wrapping unchanged; every other error is Unnamed.
enum class IoOutcome : std::uint8_t {
  Unnamed,
  // waker, publisher_disconnected(): the publisher's end of the connection
  // hung up. Kind UnexpectedEof.
  PublisherDisconnected,
  // subscriber, publisher_restarted(): a new publisher numbers the ring
  // under this subscriber's cursor. Kind UnexpectedEof.
  PublisherRestarted,
};

// Plain value. A fixed text is kept as given; an operating-system error keeps
// only its number and renders the system's description on demand.
class IoError {
 public:
  static IoError from_errno(int err) { return IoError(kind_from_errno(err), IoOutcome::Unnamed, err, {}); }
  static IoError last_os_error() { return from_errno(errno); }
  // A failure worded by the unit that detects it; a named outcome is passed
  // only by its owner.
  static IoError fixed(IoKind kind, std::string text, IoOutcome outcome = IoOutcome::Unnamed) {
    return IoError(kind, outcome, 0, std::move(text));
  }

  IoKind kind() const { return kind_; }
  IoOutcome outcome() const { return outcome_; }
  bool is(IoOutcome outcome) const { return outcome_ == outcome; }
  // The operating-system error number, or 0 for a fixed text.
  int os_errno() const { return errno_; }
  // "<strerror text> (os error N)" or the fixed text.
  std::string text() const;

 private:
  IoError(IoKind kind, IoOutcome outcome, int err, std::string text)
      : kind_(kind), outcome_(outcome), errno_(err), fixed_(std::move(text)) {}
  IoKind kind_;
  IoOutcome outcome_;
  int errno_;
  std::string fixed_;
};

}  // namespace qorva
