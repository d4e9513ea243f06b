// The core's one error type: a variant of the cases callers tell apart, each
// carrying the data its message is made from. Its own cases hold no message
// (names and numbers only); the errors it wraps do: an IoError keeps the text
// its unit worded (or renders the system's), and a log error formats its own
// message (wal/wal_error.h). Callers branch on the case, an IoError's kind or
// outcome, never on a text. The Python layer's mapping (qorva_err) is the one
// place that turns an Error into an exception: it words the core's cases and
// takes the wrapped errors' texts as they are (all but the log's too-old
// cursor, which it words itself); elsewhere an I/O text appears only in a
// diagnostic log line.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "io_error.h"
#include "wal/wal_error.h"

namespace qorva {

struct Error {
  struct Io {
    IoError error;
  };
  // Under Backpressure::Error the ring holds a full ring of unread messages.
  struct BusFull {};
  struct MessageTooLarge {
    std::uint64_t size;
    std::uint64_t limit;
  };
  // A bounded wait ran out: a subscriber's for the topic's publisher to
  // appear, or a publisher's for enough subscribers to connect.
  struct ConnectTimeout {
    enum class Awaited : std::uint8_t { Topic, Subscribers };
    Awaited awaited;
    std::string topic;  // the topic of Awaited::Topic; empty for Subscribers

    static ConnectTimeout for_topic(std::string_view topic) { return {Awaited::Topic, std::string(topic)}; }
    static ConnectTimeout for_subscribers() { return {Awaited::Subscribers, {}}; }
  };
  struct TooManySubscribers {
    std::uint32_t slots;
  };
  struct AlreadyPublishing {
    std::string topic;
  };
  struct CursorTooOld {
    std::uint64_t cursor;
    std::uint64_t oldest;
  };
  struct Wal {
    wal::WalError error;
  };

  std::variant<Io, BusFull, MessageTooLarge, ConnectTimeout, TooManySubscribers, AlreadyPublishing, CursorTooOld, Wal>
      value;

  Error(Io v) : value(std::move(v)) {}
  Error(BusFull v) : value(v) {}
  Error(MessageTooLarge v) : value(v) {}
  Error(ConnectTimeout v) : value(std::move(v)) {}
  Error(TooManySubscribers v) : value(v) {}
  Error(AlreadyPublishing v) : value(std::move(v)) {}
  Error(CursorTooOld v) : value(v) {}
  Error(Wal v) : value(std::move(v)) {}
  // The two wrappings: an I/O error becomes Io, a log error becomes Wal.
  Error(IoError e) : value(Io{e}) {}
  Error(wal::WalError e) : value(Wal{std::move(e)}) {}

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  // Whether this is the I/O failure `outcome`, whatever wrapped it on the way.
  bool is(IoOutcome outcome) const {
    const Io* io = get_if<Io>();
    return io != nullptr && io->error.is(outcome);
  }
};

template <class T>
using Result = std::expected<T, Error>;

// An I/O error as an unexpected result, for `return io_failure(...)`.
inline std::unexpected<Error> io_failure(IoError e) { return std::unexpected<Error>(Error(e)); }
inline std::unexpected<Error> last_os_failure() { return io_failure(IoError::last_os_error()); }

}  // namespace qorva
