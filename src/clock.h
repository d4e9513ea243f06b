// The system's one vocabulary for time: durations, readings of the monotonic
// clock and deadlines on it, the processor's cycle counter timed against that
// clock, and the wall clock the log stamps records with.
// Every computation saturates: an over-large timeout becomes the farthest
// representable deadline, never a wrapped one. Nobody else reads these clocks
// or does arithmetic on a timespec.
#pragma once

#include <compare>
#include <cstdint>
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
  // The longest Duration: no other is longer.
  static constexpr Duration max() { return Duration{UINT64_MAX, 999'999'999}; }
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

class Deadline;

// A reading of CLOCK_MONOTONIC, or a point on that clock: the time since its
// origin (the boot), below 2^63 seconds. Ordered by time; default-constructed
// it is the origin. Thread-safe value type.
class MonotonicTime {
 public:
  constexpr MonotonicTime() = default;
  static MonotonicTime now();
  // The point `secs` (not negative) seconds and `nanos` (below 10^9)
  // nanoseconds after the origin.
  static constexpr MonotonicTime from_parts(std::int64_t secs, std::uint32_t nanos) {
    return MonotonicTime(secs, nanos);
  }

  // `d` later, saturated at the last representable point.
  friend MonotonicTime operator+(MonotonicTime t, Duration d);
  // `d` earlier, saturated at the origin.
  friend MonotonicTime operator-(MonotonicTime t, Duration d);
  // The time from `earlier` to `later`; zero when `later` is not after
  // `earlier`. The one place where readings are subtracted.
  friend constexpr Duration time_between(MonotonicTime earlier, MonotonicTime later) {
    if (later <= earlier) return Duration{};
    // Unsigned, so that the difference of any two second counts fits.
    std::uint64_t secs = static_cast<std::uint64_t>(later.secs_) - static_cast<std::uint64_t>(earlier.secs_);
    std::int64_t nanos = std::int64_t{later.nanos_} - std::int64_t{earlier.nanos_};
    if (nanos < 0) {
      nanos += 1'000'000'000;
      secs -= 1;
    }
    return Duration{secs, static_cast<std::uint32_t>(nanos)};
  }
  friend constexpr bool operator==(const MonotonicTime&, const MonotonicTime&) = default;
  friend constexpr std::strong_ordering operator<=>(const MonotonicTime&, const MonotonicTime&) = default;

 private:
  friend void sleep_until(const Deadline& end);
  constexpr MonotonicTime(std::int64_t secs, std::uint32_t nanos) : secs_(secs), nanos_(nanos) {}
  std::int64_t secs_ = 0;
  std::uint32_t nanos_ = 0;
};

// A point on the monotonic clock by which a wait ends. Thread-safe value type.
// Its laws, for every Duration d:
//   now() has come: passed() is true, remaining() zero, poll_millis() 0.
//   never() never comes: passed() is false, remaining() Duration::max(),
//     poll_millis() -1, which poll(2) takes for no limit.
//   now() < after(d) < never(): a timeout, however long, is not never().
//   never().earlier_by(d) is never(); earlier_by(d) of a deadline less than d
//     ahead has passed, and stops at now().
//   On now() and never() no member reads the clock.
// A wait takes never() for no limit and now() for not waiting at all.
class Deadline {
 public:
  static constexpr Deadline now() { return Deadline(MonotonicTime()); }
  static constexpr Deadline never() { return Deadline(MonotonicTime::from_parts(INT64_MAX, 999'999'999)); }
  // `d` from now, saturated one nanosecond short of never().
  static Deadline after(Duration d);

  // The deadline `d` before this one.
  Deadline earlier_by(Duration d) const;
  bool passed() const;
  // Time left, zero once passed.
  Duration remaining() const;
  // Time left in whole milliseconds for poll(2), rounded up so that a wait
  // never ends before the deadline, saturated at INT32_MAX; -1 for never().
  int poll_millis() const;

  friend constexpr bool operator==(const Deadline&, const Deadline&) = default;
  friend constexpr std::strong_ordering operator<=>(const Deadline&, const Deadline&) = default;

 private:
  friend void sleep_until(const Deadline& end);
  explicit constexpr Deadline(MonotonicTime at) : at_(at) {}
  MonotonicTime at_;
};

// Milliseconds for poll(2): secs * 1000 + nanos / 10^6, saturated at INT32_MAX.
int poll_millis(Duration d);

// A reading of the processor's cycle counter. A read costs a few cycles, where
// a monotonic clock read costs a good part of a publish; but the counter runs
// at a rate of its own (CycleRate learns it), and a reading taken on another
// core may lag one taken here. Thread-safe value type.
class CycleCount {
 public:
  // Inline, as a cheap read is the point; the builtin is the one that
  // <x86intrin.h>'s __rdtsc wraps, so that no includer gets that header.
  static CycleCount now() { return CycleCount(__builtin_ia32_rdtsc()); }
  // The cycles from `earlier` to this reading; a reading lower than
  // `earlier` (another core's) wraps to a huge count.
  std::uint64_t since(CycleCount earlier) const { return count_ - earlier.count_; }

 private:
  explicit CycleCount(std::uint64_t count) : count_(count) {}
  std::uint64_t count_;
};

// The cycle counter's rate against the monotonic clock, learnt over the time
// since the rate's origin: its construction, which reads both clocks. Not
// thread-safe.
class CycleRate {
 public:
  // The two clocks read together, the counter just after the monotonic clock.
  struct Reading {
    MonotonicTime time;
    CycleCount cycles;
  };

  CycleRate();
  const Reading& origin() const { return origin_; }
  // Reads both clocks, the monotonic one between two counter reads, and
  // learns the rate from the origin to this reading, unless less than 100 ms
  // lie between them or the two counter reads lie over a thousandth of the
  // cycles since the origin apart: a preemption pulled them apart, and the
  // pair would teach a wrong rate.
  Reading read();
  // The cycles that surely pass in less than `d` at the rate learnt, a tenth
  // below it, as the rate may be off by the time the reads of a pair drift
  // apart; 0 until a rate is learnt.
  std::uint64_t cycles_within(Duration d) const;

 private:
  Reading origin_;
  double cycles_per_nano_ = 0;
};

// A reading of the wall clock (CLOCK_REALTIME): seconds since the Unix epoch
// and the nanoseconds past them. For telling when something happened: the
// wall clock jumps, so nothing is timed with it.
struct WallTime {
  std::int64_t secs = 0;
  long nanos = 0;  // below 10^9 in a reading; other values are the reader's to refuse

  // Empty when the clock cannot be read.
  static std::optional<WallTime> now();
};

// The wall clock in nanoseconds since the Unix epoch, as a segment header's
// creation time and the log's time stamps count it; 0 before the epoch.
std::uint64_t unix_time_ns();

// Sleep to a point on the monotonic clock; a signal does not end the sleep
// early nor make it longer.
void sleep_until(const Deadline& end);
void sleep_for(Duration d);

}  // namespace qorva
