#include "watch_then_sleep.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "waker.h"

namespace qorva {
namespace {

constexpr Duration kLongestWatch{0, WatchWindow::kLongestNanos};

// What a timed wait may spend watching without passing its deadline: the
// part of `remaining` below the whole milliseconds that its poll waits.
Duration below_whole_millis(Duration remaining) {
  if (poll_millis(remaining) == std::numeric_limits<int>::max()) return kLongestWatch;
  return Duration{0, remaining.nanos % 1'000'000};
}

// Where the poll of a timed wait ends: `remaining`, the time just read as left
// to `until`, rounded down to whole milliseconds, so that the poll, which
// rounds up, never waits past `until`. Taken from `until` rather than from a
// new clock reading.
Deadline sleep_end(const Deadline& until, Duration remaining) {
  if (poll_millis(remaining) == 0) return Deadline::now();
  return until.earlier_by(Duration{0, remaining.nanos % 1'000'000});
}

// A wait that ended without a unit: its own timeout, no unit left, or ETIMEDOUT.
bool is_quiet_wait_end(const IoError& e) { return e.kind() == IoKind::WouldBlock || e.kind() == IoKind::TimedOut; }

}  // namespace

void WatchWindow::after_sleep(bool within_longest) {
  if (within_longest) {
    nanos_ = std::clamp(2 * nanos_, kShortestNanos, kLongestNanos);
  } else {
    nanos_ = nanos_ / 2 < kShortestNanos ? 0 : nanos_ / 2;
  }
}

Result<bool> WatchThenSleep::wait(const WaitPoint& at, const Deadline& until, Duration remaining) {
  if (until == Deadline::never()) return watch_then_sleep(at, until, kLongestWatch);
  return watch_then_sleep(at, sleep_end(until, remaining), below_whole_millis(remaining));
}

Result<bool> WatchThenSleep::watch_then_sleep(const WaitPoint& at, const Deadline& sleep_until, Duration watch_limit) {
  if (watch_limit == Duration{}) return sleep_until_woken(at, sleep_until);
  const Deadline longest = Deadline::after(kLongestWatch);
  const Duration watch_for = std::min(window_.length(), watch_limit);
  if (watch_for != Duration{} && at.ring.watch_tail(at.cursor, Deadline::after(watch_for))) return true;
  Result<bool> woken = sleep_until_woken(at, sleep_until);
  if (woken) window_.after_sleep(*woken && !longest.passed());
  return woken;
}

// The subscriber's side of the wakeup handshake (ring.h).
Result<bool> WatchThenSleep::sleep_until_woken(const WaitPoint& at, const Deadline& until) {
  if (auto consumed = consume_unit_left(); !consumed) return std::unexpected(std::move(consumed.error()));
  if (arm(at)) return true;
  Result<bool> woken = wait_for_unit(at, until);
  at.ring.disarm_wakeup();
  // A publisher that published its last messages and left while we slept
  // shows both a unit and a hang-up, and the hang-up wins the poll: what it
  // wrote is still in the ring, so that is read first. Once the cursor reaches
  // the tail the hang-up is reported.
  if (!woken && woken.error().is(IoOutcome::PublisherDisconnected) && at.cursor < at.ring.load_tail()) return true;
  return woken;
}

Result<bool> WatchThenSleep::wait_for_unit(const WaitPoint& at, const Deadline& until) {
  if (auto polled = poll_wakeup(wake_fd_.get(), stream_.get(), until); !polled) {
    if (is_quiet_wait_end(polled.error())) return false;
    return io_failure(polled.error());
  }
  unit_left_ = true;
  if (at.ring.load_generation() != at.connected_generation) return io_failure(publisher_restarted());
  return true;
}

// Before arming, never after (the wakeup handshake, ring.h).
Result<void> WatchThenSleep::consume_unit_left() {
  if (!unit_left_) return {};
  if (auto taken = take_unit(); !taken) return io_failure(taken.error());
  return {};
}

bool WatchThenSleep::arm(const WaitPoint& at) {
  if (at.cursor >= at.ring.arm_wakeup()) return false;
  at.ring.disarm_wakeup();
  return true;
}

std::expected<bool, IoError> WatchThenSleep::take_unit() {
  unit_left_ = false;  // a unit a wait left is this one, or already gone
  auto consumed = read_wakeup(wake_fd_.get());
  if (consumed) return true;
  if (consumed.error().kind() == IoKind::WouldBlock) return false;
  return std::unexpected(consumed.error());
}

}  // namespace qorva
