// The system's one vocabulary for time: durations, deadlines and elapsed time
// on the monotonic clock, and the wall clock the log stamps records with.
// Every computation saturates: an over-large timeout becomes the farthest
// representable deadline, never a wrapped one. Nobody else does arithmetic on
// a timespec.
#pragma once

#include <compare>
#include <cstdint>
#include <ctime>
#include <optional>

namespace qorva {

// Ordered by length (seconds, then nanoseconds), so std::min and std::max
// pick the shorter or the longer of two.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1'000'000'000

  static constexpr Duration from_millis(std::uint64_t ms) {
    return Duration{ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)};
  }
  // The whole length in nanoseconds, saturated at UINT64_MAX (about 584 years).
  constexpr std::uint64_t saturating_nanos() const {
    constexpr std::uint64_t kMaxWholeSecs = UINT64_MAX / 1'000'000'000;
    const std::uint64_t whole = secs * 1'000'000'000;
    if (secs > kMaxWholeSecs || nanos > UINT64_MAX - whole) return UINT64_MAX;
    return whole + nanos;
  }
  friend constexpr bool operator==(const Duration&, const Duration&) = default;
  friend constexpr std::strong_ordering operator<=>(const Duration&, const Duration&) = default;
};

// Seconds as a float to a Duration, rounded to the nearest nanosecond with
// ties to the even count. Empty for negative values (-0.0 is zero), NaN,
// infinities and values of 2^64 seconds or more.
std::optional<Duration> duration_from_secs(double secs);

// The largest Duration a deadline can hold (seconds below 2^63).
inline constexpr Duration kMaxDuration{(std::uint64_t{1} << 63) - 1, 999'999'999};

// A point on CLOCK_MONOTONIC. Thread-safe value type.
class Deadline {
 public:
  static Deadline after(Duration d);
  static Deadline now();

  bool passed() const;
  // Time left, zero once passed.
  Duration remaining() const;
  // Time left in whole milliseconds for poll(2), rounded up so that a wait
  // never ends before the deadline, saturated at INT32_MAX.
  int poll_millis() const;

 private:
  friend void sleep_until(const Deadline& end);
  explicit Deadline(timespec at) : at_(at) {}
  timespec at_;
};

// Milliseconds for poll(2): secs * 1000 + nanos / 10^6, saturated at INT32_MAX.
int poll_millis(Duration d);

timespec monotonic_now();
// The time from `earlier` to `later`, two readings of CLOCK_MONOTONIC; zero
// when `later` is not after `earlier`. The one place where readings are
// subtracted.
constexpr Duration time_between(const timespec& earlier, const timespec& later) {
  if (later.tv_sec < earlier.tv_sec || (later.tv_sec == earlier.tv_sec && later.tv_nsec <= earlier.tv_nsec))
    return Duration{};
  // Unsigned, so that the difference of any two second counts fits.
  std::uint64_t secs = static_cast<std::uint64_t>(later.tv_sec) - static_cast<std::uint64_t>(earlier.tv_sec);
  long nanos = later.tv_nsec - earlier.tv_nsec;
  if (nanos < 0) {
    nanos += 1'000'000'000;
    secs -= 1;
  }
  return Duration{secs, static_cast<std::uint32_t>(nanos)};
}

// The wall clock (CLOCK_REALTIME) in nanoseconds since the Unix epoch, as a
// segment header's creation time and the log's time stamps count it; 0 before
// the epoch.
std::uint64_t unix_time_ns();

// Sleep to a point on the monotonic clock; a signal does not end the sleep
// early nor make it longer.
void sleep_until(const Deadline& end);
void sleep_for(Duration d);

}  // namespace qorva
