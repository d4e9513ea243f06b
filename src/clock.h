// Durations and deadlines on the monotonic clock. Every computation saturates:
// an over-large timeout becomes the farthest representable deadline, never a
// wrapped one.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace qorva {

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1'000'000'000

  static constexpr Duration from_millis(std::uint64_t ms) {
    return Duration{ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)};
  }
  friend constexpr bool operator==(const Duration&, const Duration&) = default;
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
// Sleep to a point on the monotonic clock; a signal does not end the sleep
// early nor make it longer.
void sleep_until(const Deadline& end);
void sleep_for(Duration d);

}  // namespace qorva
