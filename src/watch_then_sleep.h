// How a subscriber waits for its next message: the wait strategy between a
// ring read that found nothing and the next one.
#pragma once

#include <cstdint>
#include <expected>

#include "clock.h"
#include "error.h"
#include "fork.h"
#include "io_error.h"
#include "ring.h"

namespace qorva {

// How long a blocking wait watches the tail before it arms its flag and
// sleeps. Sleeping costs the subscriber a poll and the publisher an eventfd
// write, several microseconds each on a virtual machine, where waking a halted
// vCPU is slow: a subscriber that keeps up with a fast publisher would pay
// that for nearly every message. The window adapts to the stream, from none
// (messages come far apart) through the shortest to the longest.
//
// The watch window: doubled after a sleep that ended within the longest
// window (a longer watch would have saved it), halved after one that did not
// and dropped once below the shortest, so a dense stream keeps its
// subscribers awake and a sparse one spends no processor time watching.
class WatchWindow {
 public:
  static constexpr std::uint32_t kShortestNanos = 5'000;
  static constexpr std::uint32_t kLongestNanos = 50'000;

  Duration length() const { return Duration{0, nanos_}; }
  void after_sleep(bool within_longest);

 private:
  std::uint32_t nanos_ = kLongestNanos;
};

// What a wait watches and arms.
struct WaitPoint {
  RingReader& ring;
  std::uint64_t cursor;
  std::uint64_t connected_generation;  // a unit from another publisher ends the wait
};

// How a subscriber waits for the next message: it watches the tail for a
// window that adapts to the stream, then arms its wakeup flag and sleeps on
// its eventfd until the publisher writes a unit or hangs up (the wakeup
// handshake, ring.h).
class WatchThenSleep {
 public:
  WatchThenSleep(ProcessLocalFd wake_fd, ProcessLocalFd stream)
      : wake_fd_(std::move(wake_fd)), stream_(std::move(stream)) {}

  // Waits until worth reading again (true), `until` passes or the publisher
  // hangs up; `remaining` is the time just read as left to `until`. Before a
  // deadline the sleep lasts its whole milliseconds, rounded down, and the
  // watch only the rest, so that the wait never ends after `until`. Errors:
  // Io (publisher_disconnected(), publisher_restarted() on a unit from another
  // publisher, a failed poll).
  Result<bool> wait(const WaitPoint& at, const Deadline& until, Duration remaining);
  // Step 1 of the wakeup handshake: true (flag disarmed again) when a message
  // is already there. The event loop's arming, and a sleep's first step.
  bool arm(const WaitPoint& at);
  // Consumes one unit: true when one was pending.
  std::expected<bool, IoError> take_unit();

  int wake_fd() const { return wake_fd_.get(); }
  int stream_fd() const { return stream_.get(); }

 private:
  // Watches first, for the window but at most `watch_limit`, then sleeps
  // until `sleep_until`. The sleep tells the window how far apart the
  // messages come.
  Result<bool> watch_then_sleep(const WaitPoint& at, const Deadline& sleep_until, Duration watch_limit);
  Result<bool> sleep_until_woken(const WaitPoint& at, const Deadline& until);
  Result<bool> wait_for_unit(const WaitPoint& at, const Deadline& until);
  Result<void> consume_unit_left();

  // Closed in a forked child at once: a child must not keep the publisher's
  // view of this subscriber as connected. The stream is declared last, so it
  // is closed first.
  ProcessLocalFd wake_fd_;
  ProcessLocalFd stream_;
  WatchWindow window_;
  // A wait saw a wakeup unit and left it to be consumed before the next
  // arming, off the way from the wakeup to the message.
  bool unit_left_ = false;
};

}  // namespace qorva
